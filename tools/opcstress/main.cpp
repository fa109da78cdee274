// opcstress: a hostile client. Makes random calls, valid and invalid, across every interface
// the server object and its groups answer, through real out-of-process marshaling, from
// several threads at once, removing groups and items while other threads use them and
// calling back into the server from inside its callbacks. Afterwards the server must still
// answer and, once everything is released, end by itself.
//
//   opcstress PROGID [--calls N] [--threads N] [--seed N]
//
// Prints the calls made, the time taken and the server's handle count and memory after the
// warm-up and at the end. Exit code 0 when the server answered throughout; 1 when it stopped
// answering; 2 for bad arguments.
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_ptr.h"
#include "opc.h"
#include "process_meter.h"
#include "stress_worker.h"

namespace {

struct Options {
    std::wstring progId;
    unsigned long calls = 100000;
    unsigned threads = 4;
    unsigned seed = 1;
};

bool Parse(int argc, wchar_t** argv, Options& options) {
    if (argc < 2) return false;
    options.progId = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const unsigned long value = wcstoul(argv[i + 1], nullptr, 10);
        if (name == L"--calls" && value > 0)
            options.calls = value;
        else if (name == L"--threads" && value > 0 && value <= 64)
            options.threads = static_cast<unsigned>(value);
        else if (name == L"--seed")
            options.seed = static_cast<unsigned>(value);
        else
            return false;
    }
    return (argc % 2) == 0;
}

struct Figures {
    DWORD handles = 0;
    uint64_t memory = 0;
};

// The server's handle count and memory: its own counters (GetProcessHandleCount,
// GetProcessMemoryInfo) on Windows; under Wine, which hands out another process's counters
// as they were at its start, the resident memory of the process behind it and no handles.
Figures Measure(const std::optional<ProcessMeter>& meter, HANDLE process) {
    Figures f;
    if (process) GetProcessHandleCount(process, &f.handles);
    if (meter) f.memory = meter->Read().memoryBytes;
    return f;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        fwprintf(stderr, L"usage: opcstress PROGID [--calls N] [--threads N] [--seed N]\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int exitCode = 0;
    {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(options.progId.c_str(), &clsid))) {
            fwprintf(stderr, L"opcstress: %ls is not registered\n", options.progId.c_str());
            return 2;
        }
        ComPtr<IOPCServer> server;
        HRESULT hr =
            CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid());
        if (FAILED(hr)) {
            fwprintf(stderr, L"opcstress: cannot create the server (0x%08lX)\n", hr);
            return 1;
        }
        std::optional<ProcessMeter> meter = ProcessMeter::ForServer(clsid);
        HANDLE process = nullptr;
        if (meter && !RunningUnderWine()) process = meter->ProcessHandle();

        StressShared shared;
        shared.itemIds = DiscoverItemIds(server.Get(), 50);
        const unsigned long warmUp = options.calls / 10;
        const ULONGLONG start = GetTickCount64();
        auto run = [&](unsigned long calls, unsigned seedOffset) {
            std::vector<std::thread> threads;
            std::vector<std::atomic<unsigned>*> inFlight(options.threads, nullptr);
            std::atomic<unsigned> finished{0};
            for (unsigned t = 0; t < options.threads; ++t)
                threads.emplace_back([&, t] {
                    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                    {
                        StressWorker worker(server, shared, options.seed * 1000 + seedOffset + t);
                        inFlight[t] = &worker.current_;
                        worker.Run(calls / options.threads);
                        inFlight[t] = nullptr;
                    }
                    CoUninitialize();
                    ++finished;
                });
            // A call that does not return is the fault this tool looks for: say which.
            unsigned long seen = shared.calls.load();
            while (finished.load() < options.threads) {
                Sleep(10000);
                if (finished.load() == options.threads) break;
                const unsigned long now = shared.calls.load();
                if (now == seen) {
                    fwprintf(stderr, L"opcstress: no call returned for 10 s; in flight:");
                    for (auto* call : inFlight)
                        if (call) fwprintf(stderr, L" %u", call->load());
                    fwprintf(stderr, L"\n");
                }
                seen = now;
            }
            for (std::thread& t : threads) t.join();
        };
        run(warmUp, 0);
        const Figures before = Measure(meter, process);
        run(options.calls - warmUp, 500);
        shared.ReleaseAll();
        Sleep(2000);  // the server's update threads of released groups end
        const Figures after = Measure(meter, process);
        const double seconds = (GetTickCount64() - start) / 1000.0;

        OPCSERVERSTATUS* status = nullptr;
        hr = server->GetStatus(&status);
        if (status) {
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        const unsigned long made = shared.calls.load();
        wprintf(
            L"%lu calls from %u threads in %.1f s (%.0f calls per second), %lu refused, "
            L"%lu failed in transport\n",
            made, options.threads, seconds, made / seconds, shared.refused.load(),
            shared.transport.load());
        if (process)
            wprintf(L"server handles after warm-up %lu, at the end %lu\n", before.handles,
                    after.handles);
        if (meter)
            wprintf(L"server memory after warm-up %.1f MB, at the end %.1f MB\n",
                    before.memory / 1048576.0, after.memory / 1048576.0);
        wprintf(L"server answers afterwards: %ls\n", SUCCEEDED(hr) ? L"yes" : L"NO");
        if (FAILED(hr) || shared.transport.load() > 0) exitCode = 1;
    }
    CoUninitialize();
    return exitCode;
}
