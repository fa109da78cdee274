// read: one synchronous read of the named items, from the server's cache or from the device.
#include <windows.h>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "data_sink.h"
#include "stream_sink.h"
#include "hresult_text.h"
#include "group.h"
#include "item_io.h"
#include "item_set.h"
#include "json_writer.h"
#include "quality.h"
#include "text_table.h"
#include "time_format.h"
#include "tool_error.h"
#include "value_format.h"
#include "win_handle.h"

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

constexpr DWORD kAsyncTimeoutMs = 30000;

// The per-item results of starting an asynchronous read into the reports; then, if any item
// was read, the wait for its answer (`what` names it in the failure).
void AwaitAnswer(Connection& connection, ItemSet& set, const std::vector<HRESULT>& started,
                 HANDLE done, const wchar_t* what) {
    bool any = false;
    for (size_t j = 0; j < started.size(); ++j) {
        ItemReport& report = set.reports[set.positions[j]];
        report.error = started[j];
        if (FAILED(started[j])) report.errorText = connection.ErrorText(started[j]);
        any |= SUCCEEDED(started[j]);
    }
    if (any && WaitForSingleObject(done, kAsyncTimeoutMs) != WAIT_OBJECT_0)
        ThrowFailure(std::wstring(L"no ") + what + L" within " +
                     std::to_wstring(kAsyncTimeoutMs / 1000) + L" s");
}

// IOPCAsyncIO2::Read, which reads from the device, and the wait for its OnReadComplete.
void ReadAsync(Connection& connection, Group& group, ItemSet& set) {
    const DWORD transaction = GetCurrentProcessId();
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) ThrowFailure(L"cannot create an event");
    HRESULT master = S_OK;
    ComPtr<DataSink> sink = DataSink::Make([&](const DataCallback& c) {
        if (c.transaction != transaction) return;
        if (c.kind == DataCallback::kReadComplete) {
            master = c.masterError;
            TakeCallback(connection, set, c.count, c.clients, c.values, c.qualities, c.timestamps,
                         c.errors);
        }
        SetEvent(done.Get());
    });
    Subscription subscription(group.Object(), sink.Get());
    AwaitAnswer(connection, set, group.ReadAsync(set.handles, transaction), done.Get(),
                L"OnReadComplete");
    if (FAILED(master))
        ThrowFailure(L"the asynchronous read failed: " + CodeWithName(master) + L" " +
                     connection.ErrorText(master));
}

// IOPCAsyncIO::Read (OPC DA 1.0): the values come as an OPCSTMFORMATDATA stream on the advise
// connection the read names.
void ReadDa1(Connection& connection, Group& group, ItemSet& set) {
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) ThrowFailure(L"cannot create an event");
    ComPtr<StreamSink> sink = StreamSink::Make([&](CLIPFORMAT, const std::vector<BYTE>& bytes) {
        opcstream::ReadStream stream;
        if (opcstream::ReadData(opcstream::Format::kData, bytes.data(), bytes.size(), stream))
            TakeStream(connection, set, stream);
        SetEvent(done.Get());
    });
    StreamSubscription subscription(group.Object(), L"OPCSTMFORMATDATA", sink.Get());
    ComPtr<IOPCAsyncIO> async;
    HRESULT hr = ComPtr<IUnknown>(group.Object()).As(async);
    if (FAILED(hr)) ThrowFailure(L"the group does not offer IOPCAsyncIO: " + CodeWithName(hr));
    DWORD transaction = 0;
    HRESULT* rawErrors = nullptr;
    hr = async->Read(subscription.Connection(), OPC_DS_DEVICE,
                     static_cast<DWORD>(set.handles.size()), set.handles.data(), &transaction,
                     &rawErrors);
    std::vector<HRESULT> started(set.handles.size(), hr);
    if (rawErrors) started.assign(rawErrors, rawErrors + set.handles.size());
    CoTaskMemFree(rawErrors);
    AwaitAnswer(connection, set, started, done.Get(), L"stream");
}

// The table (or JSON), a line per item that could not be read; the exit code.
int Report(const ItemSet& set, bool json) {
    Print(set, json);
    bool failed = ReportRefusedItems(set);
    for (size_t j = 0; j < set.positions.size(); ++j) {
        const ItemReport& report = set.reports[set.positions[j]];
        if (SUCCEEDED(report.error)) continue;
        WriteErr(L"opcclient: cannot read " + report.item + L": " + ErrorCell(report) + L"\n");
        failed = true;
    }
    return failed ? 1 : 0;
}

constexpr DWORD kAnyAge = 0xFFFFFFFF;

int RunRead(const Options& options) {
    if ((options.async || options.da1) && options.device)
        ThrowUsage(L"--async and --da1 read from the device already; --device does not apply");
    if (options.async && options.da1) ThrowUsage(L"--async or --da1, not both");
    if (options.maxAge && (options.async || options.da1 || options.device))
        ThrowUsage(
            L"--max-age chooses between the cache and the device itself; not with "
            L"--device, --async or --da1");
    if (options.da3 && (options.async || options.da1))
        ThrowUsage(L"--da3 reads without a group; not with --async or --da1");
    Connection connection(options.arguments[0]);
    const std::vector<std::wstring> ids(options.arguments.begin() + 1, options.arguments.end());
    if (options.da3) {
        ItemSet set = IdentifierSet(connection, ids, false);
        std::vector<ItemState> states =
            ReadByIds(connection, ids, options.maxAge.value_or(options.device ? 0 : kAnyAge));
        TakeStates(connection, set, states);
        return Report(set, options.json);
    }
    // Active at a short rate, so that a cache read shows what the server keeps current for its
    // clients: the items' first update cycle is awaited, since until then a cache holds only
    // what the server put there when the items were added.
    Group group(connection, true, 250);
    ItemSet set = AddItemSet(connection, group, ids);
    if (!set.handles.empty() && options.async) {
        ReadAsync(connection, group, set);
    } else if (!set.handles.empty() && options.da1) {
        ReadDa1(connection, group, set);
    } else if (!set.handles.empty() && options.maxAge) {
        // No wait for the update cycle: the server itself reads what is older than the age.
        std::vector<ItemState> states = group.ReadMaxAge(*options.maxAge, set.handles);
        TakeStates(connection, set, states);
    } else if (!set.handles.empty()) {
        if (!options.device) Sleep(group.RevisedRate() + 150);
        std::vector<ItemState> states =
            group.Read(options.device ? OPC_DS_DEVICE : OPC_DS_CACHE, set.handles);
        TakeStates(connection, set, states);
    }
    return Report(set, options.json);
}

}  // namespace

const Command kReadCommand{
    L"read",
    L"read PROGID ITEM... [--device | --async | --da1 | --max-age MS] [--da3] [--json]",
    L"read items once and print value, type, quality, timestamp and error",
    L"Adds the items to a private group and reads them with IOPCSyncIO::Read.\n"
    L"  --device   read from the device instead of the server's cache\n"
    L"  --async    read from the device with IOPCAsyncIO2::Read; the values come back\n"
    L"             in the group's OnReadComplete callback\n"
    L"  --da1      read with the OPC DA 1.0 IOPCAsyncIO::Read; the values come back\n"
    L"             as an OPCSTMFORMATDATA stream through the group's IDataObject\n"
    L"  --max-age MS  read with IOPCSyncIO2::ReadMaxAge (OPC DA 3.0): the server answers\n"
    L"             from its cache where it is younger than MS milliseconds, else from the\n"
    L"             device (0: the device; 4294967295: the cache, whatever its age)\n"
    L"  --da3      read by item ID without a group, with IOPCItemIO::Read (OPC DA 3.0);\n"
    L"             the maximum age is --max-age, 0 with --device, else 4294967295\n"
    L"  --json     an array of {item, value, type, quality, quality_text, timestamp,\n"
    L"             error, error_text}\n"
    L"Exits with 1 when an item is unknown to the server or cannot be read.\n",
    kOptJson | kOptDevice | kOptAsync | kOptDa1 | kOptDa3 | kOptMaxAge,
    2,
    kAnyNumber,
    RunRead};
