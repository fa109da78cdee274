// bench --idle: what the server costs while it has nothing to do: without groups, with many
// inactive groups and with many active groups nobody has subscribed to.
#include <windows.h>
#include <atomic>
#include <cwchar>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "connection.h"
#include "console_output.h"
#include "group.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "process_meter.h"
#include "tool_error.h"

namespace {

struct Share {
    double server = 0, host = -1;  // percent of one core; host -1 when not under Wine
    unsigned threads = 0;          // the server's, at the end
};

// The server's and the wineserver's CPU time over `seconds`, as shares of one core.
Share Watch(const ProcessMeter& meter, DWORD seconds) {
    Stopwatch clock;
    const ProcessUsage a = meter.Read();
    Sleep(seconds * 1000);
    const ProcessUsage b = meter.Read();
    const double elapsed = clock.Seconds();
    Share s;
    s.server = (b.cpuSeconds - a.cpuSeconds) * 100 / elapsed;
    if (meter.UnderWine()) s.host = (b.hostCpuSeconds - a.hostCpuSeconds) * 100 / elapsed;
    s.threads = b.threads;
    return s;
}

// Each group costs a few round trips to make and one to remove: a thousand groups made one
// after the other take longer than the phases measured. A few threads of the multithreaded
// apartment share the work; the first failure is thrown here.
template <class Each>
void OnFewThreads(size_t count, Each&& each) {
    constexpr size_t kThreads = 4;
    std::atomic<size_t> next{0};
    std::vector<std::exception_ptr> failures(kThreads);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            try {
                for (size_t i = next++; i < count; i = next++) each(i);
            } catch (...) {
                failures[t] = std::current_exception();
                next = count;  // the others stop too
            }
            if (SUCCEEDED(com)) CoUninitialize();
        });
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

std::wstring Percent(double value) {
    return Fixed(value, 2) + L" %";
}

}  // namespace

int RunIdleBench(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& item = options.arguments[1];
    const DWORD groupCount = static_cast<DWORD>(options.groups.value_or(100));
    const DWORD itemCount = static_cast<DWORD>(options.items.value_or(10));
    const DWORD rate = options.rate;
    const DWORD seconds = static_cast<DWORD>(options.seconds.value_or(10));
    const std::optional<ProcessMeter> meter = ProcessMeter::ForServer(connection.Clsid());
    if (!meter) ThrowFailure(L"the server process cannot be watched on this machine");

    // What the server and Wine's own processes cost with no group at all, to set the rest
    // against: the wineserver serves every process of the prefix.
    Sleep(1000);
    const Share baseline = Watch(*meter, seconds);
    Share inactive, active;
    {
        std::vector<std::unique_ptr<Group>> groups(groupCount);
        OnFewThreads(groupCount, [&](size_t g) {
            groups[g] = std::make_unique<Group>(connection, false, rate);
        });
        Sleep(1000);  // the groups' creation is not what is measured
        inactive = Watch(*meter, seconds);
        OnFewThreads(groupCount, [&](size_t g) { groups[g].reset(); });
    }
    {
        std::vector<std::unique_ptr<Group>> groups(groupCount);
        const std::vector<std::wstring> ids(itemCount, item);
        OnFewThreads(groupCount, [&](size_t g) {
            groups[g] = std::make_unique<Group>(connection, true, rate);
            RequireAdded(connection, item, groups[g]->AddItems(ids));
        });
        Sleep(1000);
        active = Watch(*meter, seconds);
        OnFewThreads(groupCount, [&](size_t g) { groups[g].reset(); });
    }

    if (options.json) {
        JsonWriter json;
        BeginBenchJson(json, connection, item);
        WriteGroupSetup(json, groupCount, L"items_per_active_group", itemCount, rate);
        json.Key(L"seconds");
        json.Unsigned(seconds);
        auto phase = [&](const wchar_t* name, const Share& s) {
            json.Key(name);
            json.BeginObject();
            json.Key(L"server_percent_of_core");
            json.Number(Rounded(s.server, 0.001));
            if (s.host >= 0) {
                json.Key(L"wineserver_percent_of_core");
                json.Number(Rounded(s.host, 0.001));
            }
            json.Key(L"server_threads");
            json.Unsigned(s.threads);
            json.EndObject();
        };
        phase(L"no_groups", baseline);
        phase(L"inactive_groups", inactive);
        phase(L"active_groups_without_subscribers", active);
        json.EndObject();
        WriteOut(json.Text());
        return 0;
    }
    auto line = [&](const std::wstring& what, const Share& s) {
        std::wstring text = L"  " + what + L": server " + Percent(s.server);
        if (s.host >= 0) text += L", wineserver " + Percent(s.host);
        return text + L" of a core; " + std::to_wstring(s.threads) + L" server threads\n";
    };
    WriteOut(L"Idle cost on " + connection.Name() + L", " + std::to_wstring(seconds) +
             L" s each\n" + line(L"no groups", baseline) +
             line(std::to_wstring(groupCount) + L" inactive groups", inactive) +
             line(std::to_wstring(groupCount) + L" active groups of " + std::to_wstring(itemCount) +
                      L" items at " + std::to_wstring(rate) + L" ms, no subscriber",
                  active));
    return 0;
}
