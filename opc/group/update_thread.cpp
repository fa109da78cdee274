#include "update_thread.h"

#include <objbase.h>
#include <mmsystem.h>

#include "own_thread.h"
#include "sync.h"

bool GroupUpdateThread::Start(UpdateCycle* cycle) noexcept {
    cycle_ = cycle;
    thread_.Reset(CreateOwnThread(ThreadProc, this));
    return static_cast<bool>(thread_);
}

void GroupUpdateThread::Wake() noexcept {
    SrwLock lock(lock_);
    wake_ = true;
    WakeAllConditionVariable(&changed_);
}

bool GroupUpdateThread::Stop(DWORD timeoutMs) noexcept {
    if (!thread_) return true;
    bool answered;
    {
        SrwLock lock(lock_);
        answered = WaitUntil(changed_, lock_, timeoutMs, [&] { return heartbeat_; });
        stop_ = true;  // a thread that did not answer may still see it when it comes back
        WakeAllConditionVariable(&changed_);
    }
    if (answered && WaitForSingleObject(thread_.Get(), timeoutMs) == WAIT_OBJECT_0) return true;
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

bool GroupUpdateThread::Sleep(DWORD ms) noexcept {
    SrwLock lock(lock_);
    if (!heartbeat_) {
        heartbeat_ = true;
        WakeAllConditionVariable(&changed_);
    }
    WaitUntil(changed_, lock_, ms, [&] { return wake_ || stop_; });
    wake_ = false;
    return stop_;
}

void GroupUpdateThread::Run() noexcept {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD last = timeGetTime();
    for (;;) {
        DWORD sleep = INFINITE;
        if (cycle_->Active()) {
            // The rate is read afresh each turn; the unsigned difference survives the wrap of
            // the millisecond clock.
            const DWORD rate = cycle_->UpdateRate();
            DWORD since = timeGetTime() - last;
            if (since > rate) {
                DWORD ended = 0;
                if (cycle_->RunCycle(ended)) {
                    last = ended;
                    since = timeGetTime() - last;
                    if (since > rate) since = rate;  // the report took longer than the rate
                } else {
                    since = rate + 1 - kRetryMs;  // locks busy: try again shortly
                }
            }
            sleep = rate + 1 - since;
        }
        const DWORD keepAlive = cycle_->KeepAliveTurn();
        if (keepAlive < sleep) sleep = keepAlive;
        if (Sleep(sleep)) break;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    // After this exchange the group may be gone: touch nothing of it but the clean-up call.
    UpdateCycle* cycle = cycle_;
    if (state_.exchange(kExited) == kAbandoned) cycle->DestroyAfterAbandonedStop();
}
