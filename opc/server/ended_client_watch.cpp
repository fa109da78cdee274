#include "ended_client_watch.h"

#include <objbase.h>
#include <vector>

#include "opc_server.h"
#include "shutdown_notice.h"

size_t DisconnectEndedClients() noexcept {
    std::vector<ComPtr<OPCServer>> ended;
    VisitLiveServers([&](OPCServer& server) {
        if (!server.ClientEnded() || !server.TryAddRef()) return;
        ComPtr<OPCServer> held = ComPtr<OPCServer>::Attach(&server);
        try {
            ended.push_back(std::move(held));
        } catch (...) {
            // Without memory it is looked at again next time.
        }
    });
    // Outside the list's lock: disconnecting releases objects, whose ends take that lock.
    for (ComPtr<OPCServer>& server : ended) server->DisconnectEndedClient();
    return ended.size();
}

bool EndedClientWatch::Start(DWORD periodMs) noexcept {
    periodMs_ = periodMs;
    stop_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) return false;
    thread_.Reset(CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

void EndedClientWatch::Stop() noexcept {
    if (!thread_) return;
    SetEvent(stop_.Get());
    WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
}

DWORD WINAPI EndedClientWatch::ThreadProc(void* self) noexcept {
    auto* watch = static_cast<EndedClientWatch*>(self);
    // CoDisconnectObject needs COM on this thread.
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    while (WaitForSingleObject(watch->stop_.Get(), watch->periodMs_) == WAIT_TIMEOUT)
        DisconnectEndedClients();
    if (com) CoUninitialize();
    return 0;
}
