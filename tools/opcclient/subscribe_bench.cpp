// bench --subscribe: how many values a subscription delivers per second through the real
// out-of-process server, whether every group keeps its rate meanwhile, and what that costs
// the server, the wineserver and this client. With --change the items are a benchmark
// branch's tags of which the server's driver changes a given share per update, to show what
// a cycle costs when the server reports only what changed.
#include <windows.h>
#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bench_branch.h"
#include "bench_support.h"
#include "connection.h"
#include "console_output.h"
#include "data_sink.h"
#include "group.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "process_meter.h"
#include "stop_signal.h"
#include "tool_error.h"

namespace {

// One group with its items and its callback counters.
struct Subscribed {
    std::unique_ptr<Group> group;
    ComPtr<DataSink> sink;
    std::unique_ptr<Subscription> subscription;
    std::atomic<uint64_t> values{0}, callbacks{0};
    std::mutex tickLock;
    std::vector<DWORD> ticks;  // of every OnDataChange, guarded by tickLock
};

struct Usage {
    double seconds = 0;
    uint64_t values = 0, callbacks = 0;
    std::optional<ProcessUsage> server, self;
};

Usage Snapshot(const std::vector<std::unique_ptr<Subscribed>>& groups,
               const std::optional<ProcessMeter>& server, const std::optional<ProcessMeter>& self,
               const Stopwatch& clock) {
    Usage u;
    u.seconds = clock.Seconds();
    for (const auto& g : groups) {
        u.values += g->values;
        u.callbacks += g->callbacks;
    }
    if (server) u.server = server->Read();
    if (self) u.self = self->Read();
    return u;
}

// 1, 0.5 or 12.25 as given, without a row of zeros.
std::wstring Shortest(double value) {
    wchar_t text[32];
    swprintf(text, 32, L"%g", value);
    return text;
}

}  // namespace

int RunSubscribeBench(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& item = options.arguments[1];
    const DWORD groupCount = static_cast<DWORD>(options.groups.value_or(4));
    DWORD itemCount = static_cast<DWORD>(options.items.value_or(10000));
    const DWORD rate = (options.given & kOptRate) ? options.rate : 250;
    const DWORD seconds = static_cast<DWORD>(options.seconds.value_or(10));
    const std::optional<ProcessMeter> server = ProcessMeter::ForServer(connection.Clsid());
    const std::optional<ProcessMeter> self = ProcessMeter::ForThisProcess();

    std::vector<std::wstring> ids;
    // Declared before the groups, so that the share goes back to 0 after they are gone, also
    // when the run fails or Ctrl+C stops it.
    std::optional<ChangeShare> changeShare;
    std::optional<StopSignal> stop;
    if (options.change) {
        BenchBranchItems branch = BrowseBenchBranch(connection, item, itemCount);
        ids = std::move(branch.tags);
        itemCount = static_cast<DWORD>(ids.size());
        stop.emplace();
        changeShare.emplace(connection, branch.changePercent, *options.change);
    } else {
        ids.assign(itemCount, item);
    }
    auto pause = [&](DWORD ms) {
        if (!stop) return Sleep(ms);
        if (stop->Wait(ms)) ThrowFailure(L"stopped before the end of the run");
    };

    std::vector<std::unique_ptr<Subscribed>> groups;
    for (DWORD g = 0; g < groupCount; ++g) {
        auto s = std::make_unique<Subscribed>();
        s->group = std::make_unique<Group>(connection, false, rate);
        const std::vector<AddedItem> added = s->group->AddItems(ids);
        for (size_t i = 0; i < added.size(); ++i)
            if (FAILED(added[i].error)) RequireAdded(connection, ids[i], {added[i]});
        Subscribed* raw = s.get();
        s->sink = DataSink::Make([raw](const DataCallback& c) {
            if (c.kind != DataCallback::kDataChange) return;
            raw->values += c.count;
            ++raw->callbacks;
            std::lock_guard<std::mutex> lock(raw->tickLock);
            raw->ticks.push_back(GetTickCount());
        });
        s->subscription = std::make_unique<Subscription>(s->group->Object(), s->sink.Get());
        groups.push_back(std::move(s));
    }
    for (auto& s : groups) s->group->SetActive(true);

    // The first cycles fill the server's arrays and the RPC buffers; measure after them.
    pause(2 * rate + 500);
    Stopwatch clock;
    DWORD firstTick = GetTickCount();
    const Usage start = Snapshot(groups, server, self, clock);
    pause(seconds * 1000);
    const Usage end = Snapshot(groups, server, self, clock);
    const DWORD lastTick = GetTickCount();
    for (auto& s : groups) s->group->SetActive(false);
    // The rate the server keeps (it may have revised ours) makes the cycles it owed.
    const DWORD revisedRate =
        groups.empty() || !groups[0]->group->RevisedRate() ? rate : groups[0]->group->RevisedRate();

    std::vector<double> intervals;
    for (auto& s : groups) {
        std::lock_guard<std::mutex> lock(s->tickLock);
        for (size_t i = 1; i < s->ticks.size(); ++i)
            if (s->ticks[i - 1] >= firstTick && s->ticks[i] <= lastTick)
                intervals.push_back(static_cast<double>(s->ticks[i] - s->ticks[i - 1]));
    }
    const double elapsed = end.seconds - start.seconds;
    const double values = static_cast<double>(end.values - start.values);
    const double callbacks = static_cast<double>(end.callbacks - start.callbacks);
    const double maxInterval =
        intervals.empty() ? -1.0 : *std::max_element(intervals.begin(), intervals.end());
    auto cpu = [&](const std::optional<ProcessUsage>& a, const std::optional<ProcessUsage>& b,
                   bool host) {
        if (!a || !b) return -1.0;
        return host ? b->hostCpuSeconds - a->hostCpuSeconds : b->cpuSeconds - a->cpuSeconds;
    };
    const double serverCpu = cpu(start.server, end.server, false);
    const double hostCpu = cpu(start.server, end.server, true);
    const double clientCpu = cpu(start.self, end.self, false);
    const bool watchedHost = start.server && start.server->hostCpuSeconds > 0;
    // Where no item changed in a cycle there is no callback: the cycles a group owed count
    // too, and the CPU time per second of the run, which holds either way.
    const double expectedCycles = groupCount * elapsed * 1000 / revisedRate;
    auto perCycle = [&](double used, double cycles) {
        return used < 0 || cycles <= 0 ? -1.0 : used * 1000 / cycles;
    };

    if (options.json) {
        JsonWriter json;
        BeginBenchJson(json, connection, item);
        WriteGroupSetup(json, groupCount, L"items_per_group", itemCount, rate);
        json.Key(L"seconds");
        json.Number(Rounded(elapsed, 0.01));
        json.Key(L"values_per_second");
        json.Number(Rounded(values / elapsed, 1));
        json.Key(L"callbacks_per_second");
        json.Number(Rounded(callbacks / elapsed, 0.01));
        json.Key(L"median_interval_ms");
        json.Number(Median(intervals));
        json.Key(L"max_interval_ms");
        json.Number(maxInterval);
        auto share = [&](const wchar_t* name, double used) {
            if (used < 0) return;
            json.Key(name);
            json.BeginObject();
            json.Key(L"us_per_value");
            json.Number(values > 0 ? Rounded(used * 1e6 / values, 0.001) : -1);
            json.Key(L"percent_of_core");
            json.Number(Rounded(used * 100 / elapsed, 0.01));
            json.EndObject();
        };
        if (options.change) {
            json.Key(L"change_percent");
            json.Number(*options.change);
            json.Key(L"values_per_callback");
            json.Number(callbacks > 0 ? Rounded(values / callbacks, 0.1) : -1);
            json.Key(L"callbacks");
            json.Unsigned(end.callbacks - start.callbacks);
            json.Key(L"expected_cycles");
            json.Number(Rounded(expectedCycles, 0.1));
        }
        auto shareWithCycles = [&](const wchar_t* name, double used) {
            if (used < 0) return;
            share(name, used);
            if (!options.change) return;
            json.Key(std::wstring(name) + L"_per_cycle");
            json.BeginObject();
            json.Key(L"ms_per_callback");
            json.Number(Rounded(perCycle(used, callbacks), 0.001));
            json.Key(L"ms_per_expected_cycle");
            json.Number(Rounded(perCycle(used, expectedCycles), 0.001));
            json.Key(L"ms_per_second");
            json.Number(Rounded(used * 1000 / elapsed, 0.01));
            json.EndObject();
        };
        shareWithCycles(L"server_cpu", serverCpu);
        if (watchedHost) shareWithCycles(L"wineserver_cpu", hostCpu);
        share(L"client_cpu", clientCpu);
        json.EndObject();
        WriteOut(json.Text());
        if (changeShare) changeShare->Restore();
        return 0;
    }
    std::wstring text = std::to_wstring(groupCount) + L" groups x " + std::to_wstring(itemCount) +
                        (options.change ? L" leaves of " : L" items of ") + item + L" at " +
                        std::to_wstring(rate) + L" ms on " + connection.Name() + L", " +
                        Fixed(elapsed, 1) + L" s\n";
    if (options.change)
        text += L"  change share          " + Shortest(*options.change) + L" % per cycle\n";
    text += L"  values per second     " + Fixed(values / elapsed, 0) + L"\n";
    if (options.change)
        text += L"  values per callback   " +
                (callbacks > 0 ? Fixed(values / callbacks, 1) : std::wstring(L"-")) + L"\n";
    text += L"  callbacks per second  " + Fixed(callbacks / elapsed, 2) + L"\n";
    text += L"  interval of a group   median " + Fixed(Median(intervals), 0) + L" ms, max " +
            Fixed(maxInterval, 0) + L" ms\n";
    auto line = [&](const wchar_t* who, double used) {
        if (used < 0) return;
        text += std::wstring(L"  ") + who + Fixed(values > 0 ? used * 1e6 / values : 0, 3) +
                L" us per value, " + Fixed(used * 100 / elapsed, 1) + L" % of a core\n";
    };
    line(L"server CPU            ", serverCpu);
    if (watchedHost) line(L"wineserver CPU        ", hostCpu);
    line(L"client CPU (this)     ", clientCpu);
    if (!server) text += L"  (the server process could not be watched: no CPU figures)\n";
    auto milliseconds = [](double ms) { return ms < 0 ? std::wstring(L"-") : Fixed(ms, 3); };
    auto cycleLine = [&](const wchar_t* who, double used) {
        if (used < 0) return;
        text += std::wstring(L"  ") + who + milliseconds(perCycle(used, callbacks)) +
                L" ms per callback, " + milliseconds(perCycle(used, expectedCycles)) +
                L" ms per expected cycle, " + Fixed(used * 1000 / elapsed, 1) + L" ms per second\n";
    };
    if (options.change) {
        text += L"  cycles of the groups  " + Fixed(expectedCycles, 0) + L" expected at " +
                std::to_wstring(revisedRate) + L" ms, " +
                std::to_wstring(end.callbacks - start.callbacks) + L" callbacks\n";
        cycleLine(L"server per cycle      ", serverCpu);
        if (watchedHost) cycleLine(L"wineserver per cycle  ", hostCpu);
    }
    WriteOut(text);
    if (changeShare) changeShare->Restore();
    return 0;
}
