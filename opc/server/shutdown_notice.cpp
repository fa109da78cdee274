#include "shutdown_notice.h"

#include <objbase.h>
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "opc_server.h"
#include "sync.h"
#include "win_handle.h"

namespace {

CriticalSection& ListLock() {
    static CriticalSection lock;
    return lock;
}

std::vector<OPCServer*>& LiveServers() {
    static std::vector<OPCServer*> servers;
    return servers;
}

}  // namespace

void ListLiveServer(OPCServer* server) noexcept {
    try {
        CriticalSectionLock lock(ListLock());
        LiveServers().push_back(server);
    } catch (...) {
        // Without memory this server's clients are not told of the end; nothing else changes.
    }
}

void UnlistLiveServer(OPCServer* server) noexcept {
    CriticalSectionLock lock(ListLock());
    auto& servers = LiveServers();
    servers.erase(std::remove(servers.begin(), servers.end(), server), servers.end());
}

void VisitLiveServers(const std::function<void(OPCServer&)>& visit) noexcept {
    try {
        CriticalSectionLock lock(ListLock());
        // A copy: a server whose last reference goes during its visit unlists itself.
        const std::vector<OPCServer*> servers = LiveServers();
        for (OPCServer* server : servers) visit(*server);
    } catch (...) {
        // Without memory for the copy nothing is visited.
    }
}

size_t NotifyClientsOfShutdown(const wchar_t* reason, DWORD limitMs) noexcept {
    struct Notice {
        std::vector<ComPtr<IOPCShutdown>> sinks;
        std::wstring reason;
        UniqueHandle done;
    };
    try {
        auto notice = std::make_shared<Notice>();
        notice->reason = reason;
        {
            // A listed server's end waits for this lock before it frees anything, so each
            // one is whole while its sinks are taken; the calls come after the lock.
            CriticalSectionLock lock(ListLock());
            for (OPCServer* server : LiveServers()) {
                std::vector<ComPtr<IOPCShutdown>> sinks = server->ShutdownSinks();
                notice->sinks.insert(notice->sinks.end(), sinks.begin(), sinks.end());
            }
        }
        const size_t count = notice->sinks.size();
        if (count == 0) return 0;
        notice->done.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!notice->done) return 0;
        std::thread([notice] {
            const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
            for (ComPtr<IOPCShutdown>& sink : notice->sinks)
                sink->ShutdownRequest(notice->reason.c_str());
            notice->sinks.clear();
            if (com) CoUninitialize();
            SetEvent(notice->done.Get());
        }).detach();  // a client that never answers is left behind as the process ends
        WaitForSingleObject(notice->done.Get(), limitMs);
        return count;
    } catch (...) {
        return 0;
    }
}
