// The update thread of a group: it runs from the group's creation to its destruction and, while
// the group is active, runs one update cycle once more than the update rate has passed since
// the end of the previous one. A cycle ends when its values are taken; sending them to the
// subscribers comes after that and does not count, so a callback that takes long (ten
// thousand values through the RPC layer) does not stretch the rate at which the values are
// taken, as long as it takes less than the rate. In between it sleeps until the next cycle is due,
// or for ever while the group is inactive; a change of the rate or the active flag (Wake) and a
// stop wake it at once. A cycle that could not take its locks is retried after kRetryMs. A
// group with a keep-alive time has the thread wake for it too, active or not.
//
// The sleep is a wait on a condition variable, which stays inside the process: under Wine a
// wait on an event costs round trips to the wineserver, and a hundred groups' threads would
// make a busy wineserver of an idle server.
//
// Stopping: wait for the heartbeat (the thread has come round to its first sleep), ask the
// thread to stop, wait for it to end. A thread that does not answer (stuck in a driver, say)
// is never waited for without limit and never left with a destroyed group: Stop gives up
// after its time limit and the thread itself runs the group's clean-up as its last act.
#pragma once

#include <windows.h>
#include <atomic>

#include "win_handle.h"

class UpdateCycle {
  public:
    virtual DWORD UpdateRate() const noexcept = 0;
    virtual bool Active() const noexcept = 0;
    // False when the cycle could not run (its locks were busy): the next turn tries again.
    // `ended` is set to the timeGetTime() at which the values were taken.
    virtual bool RunCycle(DWORD& ended) noexcept = 0;
    // Called on the update thread as its last act when Stop gave up waiting for it.
    virtual void DestroyAfterAbandonedStop() noexcept = 0;
    // At every turn, after any cycle: sends a keep-alive callback if one is due, and gives
    // the milliseconds until the next may be due (INFINITE: none ever, until Wake).
    virtual DWORD KeepAliveTurn() noexcept { return INFINITE; }

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

    // False if the thread cannot be created.
    bool Start(UpdateCycle* cycle) noexcept;

    // True when the thread has ended. False: it did not answer within `timeoutMs` (twice: for
    // the heartbeat, then for its end) and will call DestroyAfterAbandonedStop when it does.
    bool Stop(DWORD timeoutMs = kAnswerTimeoutMs) noexcept;

    // The rate, the active flag or the keep-alive time changed: the thread looks again now.
    void Wake() noexcept;

  private:
    static DWORD WINAPI ThreadProc(void* self) noexcept;
    void Run() noexcept;
    // Sleeps up to `ms` (INFINITE: until woken); true when asked to stop.
    bool Sleep(DWORD ms) noexcept;

    enum : LONG { kRunning, kExited, kAbandoned };

    UpdateCycle* cycle_ = nullptr;
    UniqueHandle thread_;
    std::atomic<LONG> state_{kRunning};

    SRWLOCK lock_ = SRWLOCK_INIT;  // guards the three flags below
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    bool heartbeat_ = false, wake_ = false, stop_ = false;
};
