// The threads on which one driver's entry points run, so that whoever needs the driver (a
// client's call, a group's update cycle, the scan thread, the configurator) waits for it at
// most a time limit and then goes on without it. A driver entry point cannot be stopped: a
// call that never returns keeps its thread, and the caller that gave up on it leaves it
// behind with everything the call owns (a task owns its inputs and its results, never the
// caller's).
//
// Threads are made when a task finds none idle, up to kMaxThreads (then tasks wait in
// order), and end after kIdleMs without work, so that calls into one driver run side by side
// as they did on their callers' threads, and an idle server keeps no thread awake.
//
// Everything stays inside the process (a slim reader/writer lock and condition variables):
// under Wine an event costs round trips to the wineserver, and every client call that reaches
// a driver passes here.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>
#include <vector>

class DriverCallPool {
  public:
    static constexpr size_t kMaxThreads = 16;
    static constexpr DWORD kIdleMs = 30000;

    // One piece of work for the driver. Run is called at most once, on a thread of the pool;
    // whatever it uses it must own (or hold a reference to).
    class Task {
      public:
        virtual ~Task() = default;
        virtual void Run() noexcept = 0;

      private:
        friend class DriverCallPool;
        CONDITION_VARIABLE finished_ = CONDITION_VARIABLE_INIT;
        ULONGLONG began_ = 0;  // tick at which Run began; 0 while waiting
        bool done_ = false;
    };

    DriverCallPool();
    // Close() first.
    ~DriverCallPool();
    DriverCallPool(const DriverCallPool&) = delete;
    DriverCallPool& operator=(const DriverCallPool&) = delete;

    // Queues `task`; false when it cannot run (no thread could be made and none is there, or
    // the pool is closed), and then it never will.
    bool Start(const std::shared_ptr<Task>& task) noexcept;
    // True once `task` has run; waits at most `ms` for it.
    bool Wait(const std::shared_ptr<Task>& task, DWORD ms) noexcept;
    // A task has been running for longer than `ms`: its driver does not answer.
    bool AnyRunningLongerThan(DWORD ms) const noexcept;
    // True while the calling thread runs a task of this pool.
    bool OnPoolThread() const noexcept;

    // No more tasks; idle threads end. Waits for the tasks that run on other threads (their
    // results are not awaited by anyone once the owner closes the pool), at most `ms`.
    void Close(DWORD ms) noexcept;

  private:
    struct Shared;
    static DWORD WINAPI ThreadProc(void* shared) noexcept;
    std::shared_ptr<Shared> shared_;
};
