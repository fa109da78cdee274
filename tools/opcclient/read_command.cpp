// read: one synchronous read of the named items, from the server's cache or from the device.
#include <windows.h>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "group.h"
#include "item_set.h"
#include "json_writer.h"
#include "quality.h"
#include "text_table.h"
#include "time_format.h"
#include "value_format.h"

namespace {

void Print(const ItemSet& set, bool json) {
    if (json) {
        PrintJsonItems(set.reports);
        return;
    }
    TextTable table({L"Item", L"Value", L"Type", L"Quality", L"Timestamp", L"Error"});
    for (const ItemReport& r : set.reports)
        table.AddRow({r.item, FormatValue(*r.value.Get()), VarTypeName(r.type),
                      r.quality ? QualityText(*r.quality) : L"", FormatLocalTime(r.timestamp),
                      ErrorCell(r)});
    WriteOut(table.Render());
}

int RunRead(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::vector<std::wstring> ids(options.arguments.begin() + 1, options.arguments.end());
    // Active at a short rate, so that a cache read shows what the server keeps current for its
    // clients: the items' first update cycle is awaited, since until then a cache holds only
    // what the server put there when the items were added.
    Group group(connection, true, 250);
    ItemSet set = AddItemSet(connection, group, ids);
    if (!set.handles.empty() && !options.device) Sleep(group.RevisedRate() + 150);
    if (!set.handles.empty()) {
        std::vector<ItemState> states =
            group.Read(options.device ? OPC_DS_DEVICE : OPC_DS_CACHE, set.handles);
        TakeStates(connection, set, states);
    }
    Print(set, options.json);
    bool failed = ReportRefusedItems(set);
    for (size_t j = 0; j < set.positions.size(); ++j) {
        const ItemReport& report = set.reports[set.positions[j]];
        if (SUCCEEDED(report.error)) continue;
        WriteErr(L"opcclient: cannot read " + report.item + L": " + ErrorCell(report) + L"\n");
        failed = true;
    }
    return failed ? 1 : 0;
}

}  // namespace

const Command kReadCommand{
    L"read",
    L"read PROGID ITEM... [--device] [--json]",
    L"read items once and print value, type, quality, timestamp and error",
    L"Adds the items to a private group and reads them with IOPCSyncIO::Read.\n"
    L"  --device   read from the device instead of the server's cache\n"
    L"  --json     an array of {item, value, type, quality, quality_text, timestamp,\n"
    L"             error, error_text}\n"
    L"Exits with 1 when an item is unknown to the server or cannot be read.\n",
    kOptJson | kOptDevice,
    2,
    kAnyNumber,
    RunRead};
