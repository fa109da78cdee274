#include "update_thread.h"

#include <objbase.h>
#include <mmsystem.h>

bool GroupUpdateThread::Start(UpdateCycle* cycle) noexcept {
    cycle_ = cycle;
    stopEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    wakeEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    heartbeatEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    exitEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!stopEvent_ || !wakeEvent_ || !heartbeatEvent_ || !exitEvent_) return false;
    thread_.Reset(CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

bool GroupUpdateThread::Stop(DWORD timeoutMs) noexcept {
    if (!thread_) return true;
    if (WaitForSingleObject(heartbeatEvent_.Get(), timeoutMs) == WAIT_OBJECT_0) {
        SetEvent(stopEvent_.Get());
        if (WaitForSingleObject(thread_.Get(), timeoutMs) == WAIT_OBJECT_0) return true;
    } else {
        SetEvent(stopEvent_.Get());  // it may still see it when it comes back
    }
    // The thread does not answer. If it has just finished its loop, only its return is left.
    if (state_.exchange(kAbandoned) == kExited) {
        WaitForSingleObject(thread_.Get(), INFINITE);
        return true;
    }
    return false;
}

DWORD WINAPI GroupUpdateThread::ThreadProc(void* self) noexcept {
    static_cast<GroupUpdateThread*>(self)->Run();
    return 0;
}

void GroupUpdateThread::Run() noexcept {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD last = timeGetTime();
    const HANDLE events[] = {stopEvent_.Get(), wakeEvent_.Get()};
    for (;;) {
        DWORD sleep = INFINITE;
        if (cycle_->Active()) {
            // The rate is read afresh each turn; the unsigned difference survives the wrap of
            // the millisecond clock.
            const DWORD rate = cycle_->UpdateRate();
            DWORD since = timeGetTime() - last;
            if (since > rate) {
                if (cycle_->RunCycle()) {
                    last = timeGetTime();
                    since = 0;
                } else {
                    since = rate + 1 - kRetryMs;  // locks busy: try again shortly
                }
            }
            sleep = rate + 1 - since;
        }
        SetEvent(heartbeatEvent_.Get());
        if (WaitForMultipleObjects(2, events, FALSE, sleep) == WAIT_OBJECT_0) break;
    }
    SetEvent(exitEvent_.Get());
    if (SUCCEEDED(com)) CoUninitialize();
    // After this exchange the group may be gone: touch nothing of it but the clean-up call.
    UpdateCycle* cycle = cycle_;
    if (state_.exchange(kExited) == kAbandoned) cycle->DestroyAfterAbandonedStop();
}
