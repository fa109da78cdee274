// opcstress: a hostile client. Makes random calls, valid and invalid, across every interface
// the server object and its groups answer, through real out-of-process marshaling, from
// several threads at once, removing groups and items while other threads use them and
// calling back into the server from inside its callbacks. Afterwards the server must still
// answer and, once everything is released, end by itself.
//
//   opcstress PROGID [--calls N] [--threads N] [--seed N] [--only CALL,...] [--give-up S]
//
// --only narrows the run down to some kinds of call, numbered as the watchdog names them
// (100 + the server call's number, 200 + the group call's); groups are always added.
// --give-up: when no call has returned for S seconds (120 unless given) the server has stopped
// answering: the tool says which calls hang and exits with 1 at once. 0 waits for ever, which
// leaves a hung server as it is for a debugger.
//
// Prints the calls made, the time taken and the server's private memory and threads (and
// handles, on Windows) with everything released after the warm-up and at the end. Exit code 0
// when the server answered throughout; 1 when it stopped answering; 2 for bad arguments.
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
    std::vector<unsigned> only;
    unsigned long giveUpSeconds = 120;
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
        else if (name == L"--give-up")
            options.giveUpSeconds = value;
        else if (name == L"--only")
            for (const wchar_t* p = argv[i + 1]; *p;) {
                wchar_t* end = nullptr;
                options.only.push_back(wcstoul(p, &end, 10));
                if (end == p) return false;
                p = *end == L',' ? end + 1 : end;
            }
        else
            return false;
    }
    return (argc % 2) == 0;
}

struct Figures {
    DWORD handles = 0;
    ProcessUsage usage;
};

// The server's handle count (GetProcessHandleCount, on Windows only: Wine hands another
// process's counters out as they were at its start), private memory and threads.
Figures Measure(const std::optional<ProcessMeter>& meter) {
    Figures f;
    if (!meter) return f;
    if (HANDLE process = meter->ProcessHandle()) GetProcessHandleCount(process, &f.handles);
    f.usage = meter->Read();
    return f;
}

// A fault in this client is a fault of the tool (or of the platform's marshaling): say where,
// with the return addresses on the stack, for addr2line.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    const CONTEXT* c = info->ContextRecord;
#if defined(_M_X64) || defined(__x86_64__)
    const DWORD64 ip = c->Rip, sp = c->Rsp;
#else
    const DWORD64 ip = c->Eip, sp = c->Esp;
#endif
    fwprintf(stderr, L"opcstress: exception 0x%08lX at %p; stack:",
             info->ExceptionRecord->ExceptionCode, reinterpret_cast<void*>(ip));
    const auto* words = reinterpret_cast<const ULONG_PTR*>(sp);
    for (int i = 0; i < 64; ++i) {
        MEMORY_BASIC_INFORMATION m{};
        if (!VirtualQuery(reinterpret_cast<void*>(words[i]), &m, sizeof(m))) continue;
        if (m.Type == MEM_IMAGE && (m.Protect & (PAGE_EXECUTE_READ | PAGE_EXECUTE)))
            fwprintf(stderr, L" %p", reinterpret_cast<void*>(words[i]));
    }
    fwprintf(stderr, L"\n");
    fflush(stderr);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        fwprintf(stderr,
                 L"usage: opcstress PROGID [--calls N] [--threads N] [--seed N] [--only CALL,...] "
                 L"[--give-up S]\n");
        return 2;
    }
    SetUnhandledExceptionFilter(ReportCrash);
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

        StressShared shared;
        shared.only = options.only;
        shared.server = server;
        shared.clsid = clsid;
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
            unsigned long stalledSeconds = 0;
            while (finished.load() < options.threads) {
                Sleep(10000);
                if (finished.load() == options.threads) break;
                const unsigned long now = shared.calls.load();
                stalledSeconds = now == seen ? stalledSeconds + 10 : 0;
                if (stalledSeconds) {
                    fwprintf(stderr, L"opcstress: no call returned for %lu s; in flight:",
                             stalledSeconds);
                    for (auto* call : inFlight)
                        if (call) fwprintf(stderr, L" %u", call->load());
                    fwprintf(stderr, L"\n");
                }
                if (options.giveUpSeconds && stalledSeconds >= options.giveUpSeconds) {
                    // The threads wait in calls that will not return: they cannot be joined,
                    // and their references cannot be released.
                    fwprintf(stderr, L"opcstress: the server stopped answering\n");
                    fflush(stderr);
                    fflush(stdout);
                    ExitProcess(1);
                }
                seen = now;
            }
            for (std::thread& t : threads) t.join();
        };
        // Measured with everything released, after the warm-up and at the end: what the
        // server holds then that it did not hold before is what the run has leaked.
        auto settle = [&] {
            shared.ReleaseAll();
            Sleep(3000);  // the threads of removed groups and ended transactions go
            return Measure(meter);
        };
        run(warmUp, 0);
        const Figures before = settle();
        run(options.calls - warmUp, 500);
        const Figures after = settle();
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
        if (meter) {
            if (meter->ProcessHandle())
                wprintf(L"server handles after warm-up %lu, at the end %lu\n", before.handles,
                        after.handles);
            wprintf(L"server private memory after warm-up %.1f MB, at the end %.1f MB\n",
                    before.usage.privateBytes / 1048576.0, after.usage.privateBytes / 1048576.0);
            wprintf(L"server threads after warm-up %u, at the end %u\n", before.usage.threads,
                    after.usage.threads);
        }
        wprintf(L"server answers afterwards: %ls\n", SUCCEEDED(hr) ? L"yes" : L"NO");
        if (FAILED(hr) || shared.transport.load() > 0) exitCode = 1;
    }
    CoUninitialize();
    return exitCode;
}
