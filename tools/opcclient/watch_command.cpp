// watch: subscribes to the items through the group's IOPCDataCallback (or, with --poll, polls
// them with synchronous reads) and prints a line whenever an item's value, quality, timestamp
// or error changes, until the count of updates is reached or Ctrl+C.
#include <windows.h>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "data_sink.h"
#include "stream_sink.h"
#include "group.h"
#include "hresult_text.h"
#include "item_set.h"
#include "json_writer.h"
#include "quality.h"
#include "shutdown_sink.h"
#include "stop_signal.h"
#include "time_format.h"
#include "tool_error.h"
#include "value_format.h"

namespace {

// What makes a line: the value as shown, the quality, the timestamp and the error.
struct Seen {
    bool any = false;
    std::wstring value;
    WORD quality = 0;
    FILETIME timestamp{};
    HRESULT error = S_OK;

    bool Update(const ItemReport& r) {
        Seen now{true, FormatValue(*r.value.Get()), r.quality.value_or(0), r.timestamp, r.error};
        const bool changed = !any || now.value != value || now.quality != quality ||
                             CompareFileTime(&now.timestamp, &timestamp) != 0 || now.error != error;
        *this = now;
        return changed;
    }
};

std::wstring Line(const ItemReport& r, bool json) {
    if (json) {
        JsonWriter writer(JsonWriter::Layout::kOneLine);
        WriteJsonItem(writer, r);
        return writer.Text();
    }
    // The server's timestamp says when the value changed; a failed read has none.
    const std::wstring time = FAILED(r.error) || FormatLocalTime(r.timestamp).empty()
                                  ? FormatNow()
                                  : FormatLocalTime(r.timestamp);
    if (FAILED(r.error)) return time + L" " + r.item + L" error " + ErrorCell(r) + L"\n";
    return time + L" " + r.item + L" = " + FormatValue(*r.value.Get()) + L" (" +
           VarTypeName(r.type) + L", " + (r.quality ? QualityText(*r.quality) : L"") + L")\n";
}

// The changed items among `positions`, one line each, written at once.
void PrintChanges(ItemSet& set, std::vector<Seen>& seen, const std::vector<size_t>& positions,
                  bool json) {
    std::wstring lines;
    for (size_t i : positions)
        if (seen[i].Update(set.reports[i])) lines += Line(set.reports[i], json);
    if (!lines.empty()) WriteOut(lines);
}

// An OnDataChange without items: the server's keep-alive (OPC DA 3.0).
std::wstring KeepAliveLine(bool json) {
    if (!json) return FormatNow() + L" keep-alive\n";
    JsonWriter writer(JsonWriter::Layout::kOneLine);
    writer.BeginObject();
    writer.Key(L"keep_alive");
    writer.String(FormatNow());
    writer.EndObject();
    return writer.Text();
}

// Every item's deadband, each refusal shown as other commands show a failed item; true when
// any item refused it.
bool SetItemDeadbands(Connection& connection, Group& group, const ItemSet& set, double percent) {
    const std::vector<HRESULT> errors =
        group.SetItemDeadbands(set.handles, static_cast<FLOAT>(percent));
    bool any = false;
    for (size_t i = 0; i < errors.size(); ++i) {
        if (errors[i] == S_OK) continue;
        WriteErr(L"opcclient: cannot set the deadband of " + set.reports[set.positions[i]].item +
                 L": " + CodeWithName(errors[i]) + L" " + connection.ErrorText(errors[i]) + L"\n");
        any = true;
    }
    return any;
}

// The server's update cycles report the items; each OnDataChange with items is one update.
void Subscribe(Connection& connection, Group& group, ItemSet& set, const Options& options,
               const StopSignal& stop) {
    std::vector<Seen> seen(set.reports.size());
    unsigned long updates = 0;
    ComPtr<DataSink> sink = DataSink::Make([&](const DataCallback& c) {
        if (c.kind != DataCallback::kDataChange) return;
        if (c.count == 0) {
            WriteOut(KeepAliveLine(options.json));
            return;
        }
        PrintChanges(set, seen,
                     TakeCallback(connection, set, c.count, c.clients, c.values, c.qualities,
                                  c.timestamps, c.errors),
                     options.json);
        if (options.count && ++updates >= *options.count) stop.Set();
    });
    Subscription subscription(group.Object(), sink.Get());
    stop.Wait(INFINITE);
}

// OPC DA 1.0: the cycle's OPCSTMFORMATDATATIME stream through the group's IDataObject.
void SubscribeDa1(Connection& connection, Group& group, ItemSet& set, const Options& options,
                  const StopSignal& stop) {
    std::vector<Seen> seen(set.reports.size());
    unsigned long updates = 0;
    ComPtr<StreamSink> sink = StreamSink::Make([&](CLIPFORMAT, const std::vector<BYTE>& bytes) {
        opcstream::ReadStream stream;
        if (!opcstream::ReadData(opcstream::Format::kDataTime, bytes.data(), bytes.size(), stream))
            return;
        PrintChanges(set, seen, TakeStream(connection, set, stream), options.json);
        if (options.count && ++updates >= *options.count) stop.Set();
    });
    StreamSubscription subscription(group.Object(), L"OPCSTMFORMATDATATIME", sink.Get());
    stop.Wait(INFINITE);
}

void Poll(Connection& connection, Group& group, ItemSet& set, const Options& options,
          const StopSignal& stop) {
    std::vector<Seen> seen(set.reports.size());
    for (unsigned long poll = 0; !options.count || poll < *options.count; ++poll) {
        if (poll > 0 && stop.Wait(options.rate)) break;
        // The first look goes to the device: a server's cache holds nothing real before its
        // first update cycle.
        const bool device = options.device || poll == 0;
        std::vector<ItemState> states =
            group.Read(device ? OPC_DS_DEVICE : OPC_DS_CACHE, set.handles);
        TakeStates(connection, set, states);
        PrintChanges(set, seen, set.positions, options.json);
    }
}

int RunWatch(const Options& options) {
    if (options.device && !options.poll) ThrowUsage(L"--device applies to --poll only");
    if (options.da1 && options.poll) ThrowUsage(L"--da1 subscribes; it does not poll");
    if ((options.keepAlive || options.itemDeadband) && (options.poll || options.da1))
        ThrowUsage(L"--keep-alive and --item-deadband apply to the IOPCDataCallback subscription");
    Connection connection(options.arguments[0]);
    const std::vector<std::wstring> ids(options.arguments.begin() + 1, options.arguments.end());
    // Active at the rate, so that the server refreshes its cache as often as we look.
    Group group(connection, true, options.rate);
    ItemSet set = AddItemSet(connection, group, ids);
    bool refused = ReportRefusedItems(set);
    if (set.handles.empty()) return 1;
    if (options.itemDeadband)
        refused = SetItemDeadbands(connection, group, set, *options.itemDeadband) || refused;
    if (options.keepAlive) {
        const DWORD revised = group.SetKeepAlive(*options.keepAlive);
        if (revised != *options.keepAlive)
            WriteErr(L"opcclient: the server keeps alive every " + std::to_wstring(revised) +
                     L" ms\n");
    }

    StopSignal stop;
    // A server that announces its end ends the watch: no more updates will come.
    volatile LONG shutDown = 0;
    ComPtr<ShutdownSink> shutdown = ShutdownSink::Make([&](const std::wstring& reason) {
        WriteOut(FormatNow() + L" the server is shutting down: " + reason + L"\n");
        InterlockedExchange(&shutDown, 1);
        stop.Set();
    });
    ShutdownWatch shutdownWatch(connection.Server(), shutdown.Get());
    if (options.poll)
        Poll(connection, group, set, options, stop);
    else if (options.da1)
        SubscribeDa1(connection, group, set, options, stop);
    else
        Subscribe(connection, group, set, options, stop);
    return refused || shutDown ? 1 : 0;
}

}  // namespace

const Command kWatchCommand{
    L"watch",
    L"watch PROGID ITEM... [--rate MS] [--count N] [--keep-alive MS] [--item-deadband P]\n"
    L"                       [--da1 | --poll [--device]] [--json]",
    L"subscribe to items and print a line for every change",
    L"Adds the items to an active group at the update rate and subscribes to it through\n"
    L"IOPCDataCallback: the server reports the items every MS milliseconds, and a line\n"
    L"is printed for each item whose value, quality or timestamp changed (the first\n"
    L"update prints all): TIME ITEM = VALUE (TYPE, QUALITY). A server that announces its\n"
    L"shutdown (IOPCShutdown) ends the watch with its reason and exit code 1.\n"
    L"  --rate MS    the group's update rate, or the time between polls (default 1000)\n"
    L"  --count N    stop after N updates or polls (default: until Ctrl+C)\n"
    L"  --keep-alive MS  OPC DA 3.0: the server calls back without items when it has\n"
    L"               sent nothing for MS milliseconds; a line TIME keep-alive for each\n"
    L"  --item-deadband P  OPC DA 3.0: each item's own percent deadband (0 to 100);\n"
    L"               an item that refuses it is shown, and the exit code is 1\n"
    L"  --da1        subscribe the OPC DA 1.0 way: an IDataObject advise for the\n"
    L"               OPCSTMFORMATDATATIME stream\n"
    L"  --poll       poll with synchronous reads instead (for servers without callbacks)\n"
    L"  --device     with --poll: read from the device instead of the server's cache\n"
    L"  --json       one object per line and change: {item, value, type, quality,\n"
    L"               quality_text, timestamp, error, error_text}\n",
    kOptJson | kOptRate | kOptCount | kOptDevice | kOptPoll | kOptDa1 | kOptKeepAlive |
        kOptItemDeadband,
    2,
    kAnyNumber,
    RunWatch};
