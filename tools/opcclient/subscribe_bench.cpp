// bench --subscribe: how many values a subscription delivers per second through the real
// out-of-process server, whether every group keeps its rate meanwhile, and what that costs
// the server, the wineserver and this client.
#include <windows.h>
#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "connection.h"
#include "console_output.h"
#include "data_sink.h"
#include "group.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "process_meter.h"
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

}  // namespace

int RunSubscribeBench(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& item = options.arguments[1];
    const DWORD groupCount = static_cast<DWORD>(options.groups.value_or(4));
    const DWORD itemCount = static_cast<DWORD>(options.items.value_or(10000));
    const DWORD rate = (options.given & kOptRate) ? options.rate : 250;
    const DWORD seconds = static_cast<DWORD>(options.seconds.value_or(10));
    const std::optional<ProcessMeter> server = ProcessMeter::ForServer(connection.Clsid());
    const std::optional<ProcessMeter> self = ProcessMeter::ForThisProcess();

    std::vector<std::unique_ptr<Subscribed>> groups;
    const std::vector<std::wstring> ids(itemCount, item);
    for (DWORD g = 0; g < groupCount; ++g) {
        auto s = std::make_unique<Subscribed>();
        s->group = std::make_unique<Group>(connection, false, rate);
        RequireAdded(connection, item, s->group->AddItems(ids));
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
    Sleep(2 * rate + 500);
    Stopwatch clock;
    DWORD firstTick = GetTickCount();
    const Usage start = Snapshot(groups, server, self, clock);
    Sleep(seconds * 1000);
    const Usage end = Snapshot(groups, server, self, clock);
    const DWORD lastTick = GetTickCount();
    for (auto& s : groups) s->group->SetActive(false);

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
        share(L"server_cpu", serverCpu);
        if (start.server && start.server->hostCpuSeconds > 0) share(L"wineserver_cpu", hostCpu);
        share(L"client_cpu", clientCpu);
        json.EndObject();
        WriteOut(json.Text());
        return 0;
    }
    std::wstring text = std::to_wstring(groupCount) + L" groups x " + std::to_wstring(itemCount) +
                        L" items of " + item + L" at " + std::to_wstring(rate) + L" ms on " +
                        connection.Name() + L", " + Fixed(elapsed, 1) + L" s\n";
    text += L"  values per second     " + Fixed(values / elapsed, 0) + L"\n";
    text += L"  callbacks per second  " + Fixed(callbacks / elapsed, 2) + L"\n";
    text += L"  interval of a group   median " + Fixed(Median(intervals), 0) + L" ms, max " +
            Fixed(maxInterval, 0) + L" ms\n";
    auto line = [&](const wchar_t* who, double used) {
        if (used < 0) return;
        text += std::wstring(L"  ") + who + Fixed(values > 0 ? used * 1e6 / values : 0, 3) +
                L" us per value, " + Fixed(used * 100 / elapsed, 1) + L" % of a core\n";
    };
    line(L"server CPU            ", serverCpu);
    if (start.server && start.server->hostCpuSeconds > 0) line(L"wineserver CPU        ", hostCpu);
    line(L"client CPU (this)     ", clientCpu);
    if (!server) text += L"  (the server process could not be watched: no CPU figures)\n";
    WriteOut(text);
    return 0;
}
