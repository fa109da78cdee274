// The items a command names, added to its group: the server's handles of those it accepted
// and a report per name, with the error for those it refused.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "connection.h"
#include "data_stream.h"
#include "group.h"
#include "item_report.h"

struct ItemSet {
    std::vector<AddedItem> added;
    std::vector<ItemReport> reports;  // one per name, in command-line order
    // The accepted items: their server handles and where their reports are.
    std::vector<OPCHANDLE> handles;
    std::vector<size_t> positions;
};

ItemSet AddItemSet(Connection& connection, Group& group, const std::vector<std::wstring>& ids);

// Takes a read's results into the reports of the accepted items.
void TakeStates(Connection& connection, ItemSet& set, std::vector<ItemState>& states);
// Takes a callback's entries into the reports they name (by client handle, which AddItemSet
// makes the position plus one); the positions of the reports taken.
std::vector<size_t> TakeCallback(Connection& connection, ItemSet& set, DWORD count,
                                 const OPCHANDLE* clients, const VARIANT* values,
                                 const WORD* qualities, const FILETIME* timestamps,
                                 const HRESULT* errors);

// Takes a decoded OPC DA 1.0 data stream into the reports its items name; the positions.
std::vector<size_t> TakeStream(Connection& connection, ItemSet& set,
                               const opcstream::ReadStream& stream);

// One stderr line per refused item ("unknown item X: ..."); whether there was any.
bool ReportRefusedItems(const ItemSet& set);
