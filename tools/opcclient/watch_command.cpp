// watch: polls the items with synchronous reads and prints a line whenever an item's value,
// quality, timestamp or error changes, until the count of polls is reached or Ctrl+C.
#include <windows.h>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "group.h"
#include "hresult_text.h"
#include "item_set.h"
#include "json_writer.h"
#include "quality.h"
#include "time_format.h"
#include "tool_error.h"
#include "value_format.h"

namespace {

// Ctrl+C arrives on a thread of its own; the poll loop waits on this event instead of
// sleeping, so it ends between two polls and the group is removed as usual.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    SetEvent(g_stop);
    return TRUE;
}

class StopSignal {
  public:
    StopSignal() {
        g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!g_stop)
            ThrowFailure(L"cannot create an event: " +
                         DescribeFailure(HRESULT_FROM_WIN32(GetLastError())));
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ~StopSignal() {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        CloseHandle(g_stop);
        g_stop = nullptr;
    }
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // True when stopped during the wait.
    bool Wait(DWORD ms) const { return WaitForSingleObject(g_stop, ms) == WAIT_OBJECT_0; }
};

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

int RunWatch(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::vector<std::wstring> ids(options.arguments.begin() + 1, options.arguments.end());
    // Active at the poll rate, so that the server refreshes its cache as often as we look.
    Group group(connection, true, options.rate);
    ItemSet set = AddItemSet(connection, group, ids);
    const bool refused = ReportRefusedItems(set);
    if (set.handles.empty()) return 1;

    StopSignal stop;
    std::vector<Seen> seen(set.reports.size());
    for (unsigned long poll = 0; !options.count || poll < *options.count; ++poll) {
        if (poll > 0 && stop.Wait(options.rate)) break;
        // The first look goes to the device: a server's cache holds nothing real before its
        // first update cycle.
        const bool device = options.device || poll == 0;
        std::vector<ItemState> states =
            group.Read(device ? OPC_DS_DEVICE : OPC_DS_CACHE, set.handles);
        TakeStates(connection, set, states);
        std::wstring lines;
        for (size_t i : set.positions)
            if (seen[i].Update(set.reports[i])) lines += Line(set.reports[i], options.json);
        if (!lines.empty()) WriteOut(lines);
    }
    return refused ? 1 : 0;
}

}  // namespace

const Command kWatchCommand{
    L"watch",
    L"watch PROGID ITEM... [--rate MS] [--count N] [--device] [--json]",
    L"poll items and print a line for every change",
    L"Adds the items to an active group at the poll rate, reads them every MS\n"
    L"milliseconds and prints a line for each item whose value, quality or timestamp\n"
    L"changed (the first poll prints all): TIME ITEM = VALUE (TYPE, QUALITY).\n"
    L"  --rate MS    milliseconds between polls (default 1000)\n"
    L"  --count N    stop after N polls (default: until Ctrl+C)\n"
    L"  --device     read from the device instead of the server's cache\n"
    L"  --json       one object per line and change: {item, value, type, quality,\n"
    L"               quality_text, timestamp, error, error_text}\n",
    kOptJson | kOptRate | kOptCount | kOptDevice,
    2,
    kAnyNumber,
    RunWatch};
