// write: values given as text, converted to each item's canonical type (so the server gets
// exactly the type it keeps), written with one synchronous write.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "group.h"
#include "hresult_text.h"
#include "item_io.h"
#include "item_set.h"
#include "json_writer.h"
#include "text_table.h"
#include "tool_error.h"
#include "value_format.h"

namespace {

struct Assignment {
    std::wstring item, text;
};

std::vector<Assignment> Assignments(const Options& options) {
    std::vector<Assignment> result;
    for (size_t i = 1; i < options.arguments.size(); ++i) {
        const std::wstring& arg = options.arguments[i];
        // Item names rarely contain '=', string values may: split at the first one.
        const size_t equals = arg.find(L'=');
        if (equals == std::wstring::npos || equals == 0)
            ThrowUsage(L"expected ITEM=VALUE, not '" + arg + L"'");
        result.push_back({arg.substr(0, equals), arg.substr(equals + 1)});
    }
    return result;
}

// The system has no text for the conversion codes under Wine, and a poor one elsewhere.
std::wstring ConversionProblem(HRESULT hr, VARTYPE type) {
    if (hr == DISP_E_OVERFLOW) return L"is out of the range of " + VarTypeName(type);
    if (hr == DISP_E_TYPEMISMATCH) return L"does not convert to " + VarTypeName(type);
    return L"does not convert to " + VarTypeName(type) + L": " + DescribeFailure(hr);
}

void Print(const ItemSet& set, const std::vector<Assignment>& assignments, bool json) {
    if (json) {
        PrintJsonItems(set.reports);
        return;
    }
    TextTable table({L"Item", L"Value", L"Type", L"Result"});
    for (size_t i = 0; i < set.reports.size(); ++i) {
        const ItemReport& r = set.reports[i];
        // A value that did not convert is shown as it was typed.
        const std::wstring value = r.value.Type() == VT_EMPTY ? L"'" + assignments[i].text + L"'"
                                                              : FormatValue(*r.value.Get());
        table.AddRow({r.item, value, VarTypeName(r.type), r.error == S_OK ? L"ok" : ErrorCell(r)});
    }
    WriteOut(table.Render());
}

int RunWrite(const Options& options) {
    if ((options.quality || options.timestamp) && !options.vqt && !options.da3)
        ThrowUsage(L"--quality and --timestamp go with --vqt or --da3");
    const VqtExtras extras{options.quality, options.timestamp};
    const std::vector<Assignment> assignments = Assignments(options);
    Connection connection(options.arguments[0]);
    std::vector<std::wstring> ids;
    for (const Assignment& a : assignments) ids.push_back(a.item);
    // OPC DA 3.0 writes by identifier need no group; the types come from item property 1.
    std::unique_ptr<Group> group;
    ItemSet set;
    if (options.da3) {
        set = IdentifierSet(connection, ids, true);
    } else {
        group = std::make_unique<Group>(connection, false, 1000);
        set = AddItemSet(connection, *group, ids);
    }

    std::vector<std::wstring> failures;
    std::vector<std::wstring> targets;  // by identifier (--da3)
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;  // lent from the reports for the call
    std::vector<size_t> written;
    for (size_t j = 0; j < set.positions.size(); ++j) {
        const size_t i = set.positions[j];
        ItemReport& report = set.reports[i];
        const HRESULT hr = ParseValue(assignments[i].text, report.type, report.value);
        if (FAILED(hr)) {
            report.error = hr;
            report.errorText = ConversionProblem(hr, report.type);
            failures.push_back(L"bad value for " + report.item + L": '" + assignments[i].text +
                               L"' " + report.errorText);
            continue;
        }
        if (group)
            handles.push_back(set.handles[j]);
        else
            targets.push_back(report.item);
        values.push_back(*report.value.Get());
        written.push_back(i);
    }
    if (!written.empty()) {
        const std::vector<HRESULT> errors = !group
                                                ? WriteVqtByIds(connection, targets, values, extras)
                                            : options.vqt ? group->WriteVQT(handles, values, extras)
                                                          : group->Write(handles, values);
        for (size_t k = 0; k < written.size(); ++k) {
            ItemReport& report = set.reports[written[k]];
            report.error = errors[k];
            if (errors[k] == S_OK) continue;
            report.errorText = connection.ErrorText(errors[k]);
            if (FAILED(errors[k]))
                failures.push_back(L"cannot write " + report.item + L": " + ErrorCell(report));
        }
    }
    Print(set, assignments, options.json);
    bool failed = ReportRefusedItems(set);
    for (const std::wstring& line : failures) WriteErr(L"opcclient: " + line + L"\n");
    return failed || !failures.empty() ? 1 : 0;
}

}  // namespace

const Command kWriteCommand{
    L"write",
    L"write PROGID ITEM=VALUE... [--vqt | --da3] [--quality Q] [--timestamp T] [--json]",
    L"write values to items",
    L"Adds the items to a private group, converts each VALUE to the item's canonical type\n"
    L"(numbers as in \"12.5\", whatever the locale; booleans as true/false/1/0; arrays as\n"
    L"[a, b]) and writes them with IOPCSyncIO::Write.\n"
    L"  --vqt      write with IOPCSyncIO2::WriteVQT (OPC DA 3.0)\n"
    L"  --da3      write by item ID without a group, with IOPCItemIO::WriteVQT (OPC DA\n"
    L"             3.0); each value is converted to the type of the item's property 1\n"
    L"  --quality Q      with --vqt or --da3: ask for this quality too (0xC0 is good)\n"
    L"  --timestamp T    with --vqt or --da3: ask for this timestamp too: now, or\n"
    L"             \"YYYY-MM-DD HH:MM:SS[.mmm]\" in UTC\n"
    L"  --json   an array of {item, value, type, quality, quality_text, timestamp,\n"
    L"           error, error_text}\n"
    L"Exits with 1 when an item is unknown, a value does not convert or a write fails.\n",
    kOptJson | kOptDa3 | kOptVqt | kOptQuality | kOptTimestamp,
    2,
    kAnyNumber,
    RunWrite};
