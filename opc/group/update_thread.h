// The update thread of a group: it runs from the group's creation to its destruction and, while
// the group is active, runs one update cycle once more than the update rate has passed since
// the end of the previous one. In between it sleeps until the next cycle is due, or for ever
// while the group is inactive; a change of the rate or the active flag (Wake) and a stop
// wake it at once. A cycle that could not take its locks is retried after kRetryMs. Each
// turn sets the heartbeat event before it sleeps.
//
// Stopping: wait for a heartbeat, set the stop event, wait for the thread to end. A thread
// that does not answer (stuck in a driver, say) is never waited for without limit and never
// left with a destroyed group: Stop gives up after its time limit and the thread itself runs
// the group's clean-up as its last act.
#pragma once

#include <windows.h>
#include <atomic>

#include "win_handle.h"

class UpdateCycle {
  public:
    virtual DWORD UpdateRate() const noexcept = 0;
    virtual bool Active() const noexcept = 0;
    // False when the cycle could not run (its locks were busy): the next turn tries again.
    virtual bool RunCycle() noexcept = 0;
    // Called on the update thread as its last act when Stop gave up waiting for it.
    virtual void DestroyAfterAbandonedStop() noexcept = 0;

  protected:
    ~UpdateCycle() = default;
};

class GroupUpdateThread {
  public:
    static constexpr DWORD kAnswerTimeoutMs = 30000;
    static constexpr DWORD kRetryMs = 20;

    GroupUpdateThread() noexcept = default;
    ~GroupUpdateThread() = default;
    GroupUpdateThread(const GroupUpdateThread&) = delete;
    GroupUpdateThread& operator=(const GroupUpdateThread&) = delete;

    // False if the events or the thread cannot be created.
    bool Start(UpdateCycle* cycle) noexcept;

    // True when the thread has ended. False: it did not answer within `timeoutMs` (twice: for
    // the heartbeat, then for its end) and will call DestroyAfterAbandonedStop when it does.
    bool Stop(DWORD timeoutMs = kAnswerTimeoutMs) noexcept;

    // The rate or the active flag changed: the thread looks again now.
    void Wake() noexcept { SetEvent(wakeEvent_.Get()); }

  private:
    static DWORD WINAPI ThreadProc(void* self) noexcept;
    void Run() noexcept;

    enum : LONG { kRunning, kExited, kAbandoned };

    UpdateCycle* cycle_ = nullptr;
    UniqueHandle stopEvent_, wakeEvent_, heartbeatEvent_, exitEvent_, thread_;
    std::atomic<LONG> state_{kRunning};
};
