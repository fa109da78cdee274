// IOPCItemIO (OPC DA 3.0) of the server object: reads and writes by item identifier, with no
// group, their out-arrays already freed and copied into vectors.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "connection.h"
#include "group.h"
#include "item_set.h"

// Every identifier with the same maximum age. Throws when the server has no IOPCItemIO or
// the call as a whole fails.
std::vector<ItemState> ReadByIds(Connection& connection, const std::vector<std::wstring>& ids,
                                 DWORD maxAge);
// `values` lent for the call.
std::vector<HRESULT> WriteVqtByIds(Connection& connection, const std::vector<std::wstring>& ids,
                                   const std::vector<VARIANT>& values, const VqtExtras& extras);

// A set for the identifiers without a group: every report accepted (the server says per item
// what it refuses), its type the item's canonical type (item property 1) where `typed`, so
// that a value typed on the command line can be parsed into it; an identifier the server does
// not know gets the property's error.
ItemSet IdentifierSet(Connection& connection, const std::vector<std::wstring>& ids, bool typed);
