// The update cycles of every group of the process, on a few threads instead of one per group.
//
// A timer thread keeps the groups' next turns in a deadline heap and sleeps on a condition
// variable until the earliest is due; due turns go to a small pool of worker threads. The waits
// stay inside the process: under Wine a wait on an event costs round trips to the wineserver,
// and an event per group would make a busy wineserver of an idle server. A group has a turn
// when its cycle or its keep-alive is due, or at once when woken; an inactive group without a
// keep-alive has none at all.
//
// What an idle server costs is mostly thread wake-ups (tens of microseconds each on a virtual
// machine, far more than a cycle's own work), so turns are gathered: after a cycle, the next
// one falls due on a coarse grid of the clock (a tenth of the rate, 10 to 100 ms), never
// earlier than the rate after the cycle ended, so that groups of similar rates fall due
// together; the timer wakes once for all of them and hands the batch to one worker, which
// takes the turns one after the other. Only a turn after a cycle is moved: a group made
// active, or one whose rate changed, has its next cycle when the rate says.
//
// A cycle may be stuck for as long as a hung driver holds it. Other groups' turns must not wait
// for it: a turn left waiting for kHandOnAfterMs wakes another idle worker, and when turns are
// due and every worker has been inside one turn for kGrowAfterMs, another worker is started
// (at most kMaxWorkers). Workers that are merely slow (a busy machine) do not count as stuck,
// or a starved process would only get more threads. Workers beyond kMinWorkers that find
// nothing to do for kRetireAfterMs end, as long as another is idle too. A group's turn never
// runs on two workers at once. The timer looks for turns left waiting when it wakes for the
// next due turn, and no later than kLookAgainMs while turns wait: a wake-up of its own shortly
// after every batch it hands out (whose second halves wait in the list while the first waits
// for its drivers) would cost as much as the batch, and nearly always find the turns taken.
//
// The timer wakes a worker after letting go of the lock, and the scheduler's times come from a
// clock as fine as its timed waits (precise_tick.h): on a virtual machine every needless
// wake-up costs more than a cycle's own work.
//
// Workers join the multithreaded apartment, as the groups' own threads did: callbacks to the
// clients go out from them.
#pragma once

#include <windows.h>
#include <list>
#include <memory>
#include <vector>

#include "update_cycle.h"
#include "win_handle.h"

class CycleScheduler;

// A group's place in a scheduler, from Start to Stop.
class ScheduledCycle {
  public:
    static constexpr DWORD kAnswerTimeoutMs = 30000;
    static constexpr DWORD kRetryMs = 20;

    ScheduledCycle() noexcept = default;
    ~ScheduledCycle() = default;
    ScheduledCycle(const ScheduledCycle&) = delete;
    ScheduledCycle& operator=(const ScheduledCycle&) = delete;

    // False if the scheduler has no room or no thread for it. The first turn comes at once.
    bool Start(UpdateCycle* cycle, CycleScheduler& scheduler) noexcept;
    bool Start(UpdateCycle* cycle) noexcept;  // with the process's scheduler

    // True when no turn of the group runs any more, nor ever will. False: its running turn did
    // not end within `timeoutMs` (or Stop was called from inside it), and the worker calls
    // DestroyAfterAbandonedStop when it does.
    bool Stop(DWORD timeoutMs = kAnswerTimeoutMs) noexcept;

    // The rate, the active flag or the keep-alive time changed: a turn now.
    void Wake() noexcept;

  private:
    friend class CycleScheduler;
    // One look at the group in two halves (see UpdateCycle::BeginCycle): a cycle if due, the
    // keep-alive. EndTurn gives the milliseconds until the next look is needed (INFINITE: none
    // until Wake), and the grid the next look may be put off to (0: none, it is due exactly
    // then). On a worker, never on two at once.
    void BeginTurn(std::unique_ptr<CycleBatch>& batch) noexcept;
    DWORD EndTurn(DWORD& grid) noexcept;
    // BeginTurn began a cycle whose second half waits for its batch.
    bool HalfDone() const noexcept { return start_ == UpdateCycle::CycleStart::kBegun; }
    // The grid on which a group of `rate` has its cycles after the first; 0 for rates too
    // fast to gather.
    static DWORD GridOf(DWORD rate) noexcept;

    UpdateCycle* cycle_ = nullptr;
    CycleScheduler* scheduler_ = nullptr;
    DWORD last_ = 0;  // the end of the last cycle; the turn's own
    // What BeginTurn found, for EndTurn; the turn's own. A turn whose cycle was not due has
    // kBusy as its start, and no cycleDue_.
    bool active_ = false, cycleDue_ = false;
    DWORD rate_ = 0;
    UpdateCycle::CycleStart start_ = UpdateCycle::CycleStart::kBusy;

    // Guarded by the scheduler's lock.
    ULONGLONG due_ = 0;
    size_t heapAt_ = kNotTimed;  // its place in the deadline heap
    ScheduledCycle* nextReady_ = nullptr;
    ULONGLONG readySince_ = 0;
    bool ready_ = false, running_ = false, wakeAgain_ = false, stopped_ = false;
    bool abandoned_ = false;
    // Waiting in the list for its second half, with the batch its first half went into.
    bool begun_ = false;
    std::shared_ptr<CycleBatch> batch_;
    DWORD runner_ = 0;  // the worker running its turn
    static constexpr size_t kNotTimed = ~size_t{0};
};

class CycleScheduler {
  public:
    static constexpr size_t kMinWorkers = 2;
    static constexpr size_t kMaxWorkers = 64;
    static constexpr DWORD kGrowAfterMs = 100;
    static constexpr DWORD kHandOnAfterMs = 20;
    static constexpr DWORD kLookAgainMs = 100;
    static constexpr DWORD kRetireAfterMs = 10000;
    // The most turns one worker takes at once: their first halves run together (see
    // update_cycle.h), then their second halves one after the other.
    static constexpr size_t kBatchTurns = 32;

    // The process's scheduler. It is never destroyed: at the process's exit its threads wait
    // with nothing to do (every group's Stop has taken its cycles out) or run cycles of groups
    // that clients still hold, as those groups' own threads did.
    static CycleScheduler& Process() noexcept;

    explicit CycleScheduler(DWORD retireAfterMs = kRetireAfterMs) noexcept;
    // Only once every cycle has been stopped: ends and waits for the threads.
    ~CycleScheduler();
    CycleScheduler(const CycleScheduler&) = delete;
    CycleScheduler& operator=(const CycleScheduler&) = delete;

    // The worker threads alive now.
    size_t Workers() const noexcept;

  private:
    friend class ScheduledCycle;
    struct Worker {
        CycleScheduler* owner;
        UniqueHandle thread;
        bool ended = false;
        ULONGLONG turnSince = 0;  // the start of the turn it runs; 0: none
    };

    bool Add(ScheduledCycle& cycle) noexcept;
    bool Remove(ScheduledCycle& cycle, DWORD timeoutMs) noexcept;
    void Wake(ScheduledCycle& cycle) noexcept;

    // Under lock_.
    void Time(ScheduledCycle& cycle, ULONGLONG due) noexcept;
    void Untime(ScheduledCycle& cycle) noexcept;
    void PushReady(ScheduledCycle& cycle, ULONGLONG now) noexcept;
    void PushReadyFront(ScheduledCycle& cycle, ULONGLONG now) noexcept;
    // True when an idle worker is to be woken (the caller does it, after the lock): no worker
    // is awake to take the waiting turns, or they have waited for kHandOnAfterMs behind a
    // turn that takes long.
    bool HandOnReady(ULONGLONG now) noexcept;
    void TakeReady(ScheduledCycle& cycle) noexcept;
    void HeapUp(size_t at) noexcept;
    void HeapDown(size_t at) noexcept;
    void HeapSet(size_t at, ScheduledCycle* cycle) noexcept;
    bool StartWorker() noexcept;
    void ReapWorkers() noexcept;
    // The milliseconds the timer may sleep, and whether it is to wake a worker first.
    DWORD ManageTurns(ULONGLONG now, bool& wakeWorker) noexcept;

    static DWORD WINAPI TimerProc(void* self) noexcept;
    static DWORD WINAPI WorkerProc(void* worker) noexcept;
    void RunTimer() noexcept;
    void RunWorker(Worker& worker) noexcept;
    // Under lock_: the first waiting turn's second half, or the first halves of the fresh
    // turns waiting (up to kBatchTurns), their batch started, the first one's second half, and
    // the others' second halves back at the front of the list.
    void RunBatch(Worker& worker) noexcept;
    // Under lock_: the turn's second half (none for a stopped group), then its next turn timed,
    // or its stop completed.
    void FinishTurn(Worker& worker, ScheduledCycle& cycle) noexcept;

    const DWORD retireAfterMs_;
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE timerWake_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE work_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE turnEnded_ = CONDITION_VARIABLE_INIT;
    UniqueHandle timer_;
    std::list<Worker> workers_;
    size_t liveWorkers_ = 0, idleWorkers_ = 0;
    size_t wakesPending_ = 0;  // idle workers woken that have not taken the lock since
    ULONGLONG lastGrowth_ = 0;
    std::vector<ScheduledCycle*> heap_;  // by due time; room for every cycle added
    size_t cycles_ = 0, readyCount_ = 0;
    ScheduledCycle *readyFirst_ = nullptr, *readyLast_ = nullptr;
    bool ending_ = false;
};
