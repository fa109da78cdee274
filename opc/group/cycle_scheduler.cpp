#include "cycle_scheduler.h"

#include <objbase.h>
#include <mmsystem.h>
#include <algorithm>
#include <new>
#include <utility>

#include "own_thread.h"
#include "precise_tick.h"
#include "sync.h"

namespace {

// Lets go of a held SRW lock for a scope (a turn runs without it) and takes it back.
class SrwUnlock {
  public:
    explicit SrwUnlock(SRWLOCK& lock) noexcept : lock_(lock) { ReleaseSRWLockExclusive(&lock_); }
    ~SrwUnlock() { AcquireSRWLockExclusive(&lock_); }
    SrwUnlock(const SrwUnlock&) = delete;
    SrwUnlock& operator=(const SrwUnlock&) = delete;

  private:
    SRWLOCK& lock_;
};

DWORD MillisecondsUntil(ULONGLONG when, ULONGLONG now) noexcept {
    if (when <= now) return 0;
    return static_cast<DWORD>(std::min<ULONGLONG>(when - now, INFINITE - 1));
}

}  // namespace

bool ScheduledCycle::Start(UpdateCycle* cycle, CycleScheduler& scheduler) noexcept {
    cycle_ = cycle;
    last_ = timeGetTime();
    scheduler_ = &scheduler;
    if (scheduler.Add(*this)) return true;
    scheduler_ = nullptr;
    return false;
}

bool ScheduledCycle::Start(UpdateCycle* cycle) noexcept {
    return Start(cycle, CycleScheduler::Process());
}

bool ScheduledCycle::Stop(DWORD timeoutMs) noexcept {
    return !scheduler_ || scheduler_->Remove(*this, timeoutMs);
}

void ScheduledCycle::Wake() noexcept {
    if (scheduler_) scheduler_->Wake(*this);
}

DWORD ScheduledCycle::GridOf(DWORD rate) noexcept {
    constexpr DWORD kFinest = 10, kCoarsest = 100;
    const DWORD grid = rate / 10;
    return grid < kFinest ? 0 : std::min(grid, kCoarsest);
}

void ScheduledCycle::BeginTurn(std::unique_ptr<CycleBatch>& batch) noexcept {
    start_ = UpdateCycle::CycleStart::kBusy;
    cycleDue_ = false;
    active_ = cycle_->Active();
    if (!active_) return;
    // The rate is read afresh each turn; the unsigned difference survives the wrap of the
    // millisecond clock.
    rate_ = cycle_->UpdateRate();
    if (timeGetTime() - last_ <= rate_) return;
    cycleDue_ = true;
    DWORD ended = 0;
    start_ = cycle_->BeginCycle(batch, ended);
    if (start_ == UpdateCycle::CycleStart::kEnded) last_ = ended;
}

DWORD ScheduledCycle::EndTurn(DWORD& grid) noexcept {
    grid = 0;
    DWORD sleep = INFINITE;
    if (active_) {
        const DWORD rate = rate_;
        if (start_ == UpdateCycle::CycleStart::kBegun) {
            DWORD ended = 0;
            cycle_->EndCycle(ended);
            last_ = ended;
            start_ = UpdateCycle::CycleStart::kEnded;
        }
        DWORD since = timeGetTime() - last_;
        if (since > rate) since = rate;  // the report took longer than the rate
        if (start_ == UpdateCycle::CycleStart::kEnded)
            grid = GridOf(rate);
        else if (cycleDue_)
            since = rate + 1 - kRetryMs;  // locks busy: try again shortly
        sleep = rate + 1 - since;
    }
    const DWORD keepAlive = cycle_->KeepAliveTurn();
    if (keepAlive < sleep) grid = 0;  // a keep-alive is sent when due
    return std::min(keepAlive, sleep);
}

CycleScheduler& CycleScheduler::Process() noexcept {
    // Built in place and never destroyed: a static object's destructor would run at exit while
    // groups that clients still hold may have turns.
    alignas(CycleScheduler) static unsigned char storage[sizeof(CycleScheduler)];
    static CycleScheduler* const process = new (storage) CycleScheduler();
    return *process;
}

CycleScheduler::CycleScheduler(DWORD retireAfterMs) noexcept : retireAfterMs_(retireAfterMs) {}

CycleScheduler::~CycleScheduler() {
    {
        SrwLock lock(lock_);
        ending_ = true;
        WakeAllConditionVariable(&work_);
        WakeAllConditionVariable(&timerWake_);
    }
    // Only the timer thread changes the list of workers: it has ended first.
    if (timer_) WaitForSingleObject(timer_.Get(), INFINITE);
    for (Worker& worker : workers_) WaitForSingleObject(worker.thread.Get(), INFINITE);
}

size_t CycleScheduler::Workers() const noexcept {
    SrwLock lock(lock_);
    return liveWorkers_;
}

bool CycleScheduler::Add(ScheduledCycle& cycle) noexcept {
    SrwLock lock(lock_);
    if (ending_) return false;
    // The heap never allocates while turns move through it.
    try {
        if (heap_.capacity() <= cycles_) heap_.reserve(std::max<size_t>(64, 2 * cycles_));
    } catch (...) {
        return false;
    }
    if (!timer_) {
        timer_.Reset(CreateOwnThread(TimerProc, this));
        if (!timer_) return false;
    }
    ++cycles_;
    Time(cycle, PreciseTickMs());
    return true;
}

bool CycleScheduler::Remove(ScheduledCycle& cycle, DWORD timeoutMs) noexcept {
    // A second half that was waiting is dropped, and its share of the batch goes after the
    // lock: it may hold the last reference to a driver, whose end waits for its threads.
    std::shared_ptr<CycleBatch> dropped;
    SrwLock lock(lock_);
    cycle.stopped_ = true;
    Untime(cycle);
    if (cycle.ready_) TakeReady(cycle);
    cycle.begun_ = false;
    dropped = std::move(cycle.batch_);
    if (cycle.running_) {
        // From inside its own turn (the group's last reference let go in a callback) it cannot
        // be waited for: the worker cleans up after the turn, as after any stop that gave up.
        if (cycle.runner_ == GetCurrentThreadId() ||
            !WaitUntil(turnEnded_, lock_, timeoutMs, [&] { return !cycle.running_; })) {
            cycle.abandoned_ = true;
            return false;
        }
    }
    --cycles_;
    return true;
}

void CycleScheduler::Wake(ScheduledCycle& cycle) noexcept {
    SrwLock lock(lock_);
    if (cycle.stopped_) return;
    if (cycle.ready_) {
        // A second half waiting to be taken ends with the rate its first half read.
        if (cycle.begun_) cycle.wakeAgain_ = true;
        return;
    }
    if (cycle.running_)
        cycle.wakeAgain_ = true;  // the turn may have read the group before the change
    else
        Time(cycle, PreciseTickMs());
}

void CycleScheduler::Time(ScheduledCycle& cycle, ULONGLONG due) noexcept {
    cycle.due_ = due;
    if (cycle.heapAt_ == ScheduledCycle::kNotTimed) {
        heap_.push_back(&cycle);  // within the capacity Add made
        HeapSet(heap_.size() - 1, &cycle);
    }
    HeapUp(cycle.heapAt_);
    HeapDown(cycle.heapAt_);
    if (heap_.front() == &cycle) WakeConditionVariable(&timerWake_);
}

void CycleScheduler::Untime(ScheduledCycle& cycle) noexcept {
    const size_t at = cycle.heapAt_;
    if (at == ScheduledCycle::kNotTimed) return;
    cycle.heapAt_ = ScheduledCycle::kNotTimed;
    ScheduledCycle* last = heap_.back();
    heap_.pop_back();
    if (last == &cycle) return;
    HeapSet(at, last);
    HeapUp(at);
    HeapDown(last->heapAt_);
}

void CycleScheduler::HeapSet(size_t at, ScheduledCycle* cycle) noexcept {
    heap_[at] = cycle;
    cycle->heapAt_ = at;
}

void CycleScheduler::HeapUp(size_t at) noexcept {
    ScheduledCycle* cycle = heap_[at];
    while (at > 0) {
        const size_t parent = (at - 1) / 2;
        if (heap_[parent]->due_ <= cycle->due_) break;
        HeapSet(at, heap_[parent]);
        at = parent;
    }
    HeapSet(at, cycle);
}

void CycleScheduler::HeapDown(size_t at) noexcept {
    ScheduledCycle* cycle = heap_[at];
    for (;;) {
        size_t child = 2 * at + 1;
        if (child >= heap_.size()) break;
        if (child + 1 < heap_.size() && heap_[child + 1]->due_ < heap_[child]->due_) ++child;
        if (cycle->due_ <= heap_[child]->due_) break;
        HeapSet(at, heap_[child]);
        at = child;
    }
    HeapSet(at, cycle);
}

void CycleScheduler::PushReady(ScheduledCycle& cycle, ULONGLONG now) noexcept {
    cycle.ready_ = true;
    cycle.readySince_ = now;
    cycle.nextReady_ = nullptr;
    (readyLast_ ? readyLast_->nextReady_ : readyFirst_) = &cycle;
    readyLast_ = &cycle;
    ++readyCount_;
}

void CycleScheduler::PushReadyFront(ScheduledCycle& cycle, ULONGLONG now) noexcept {
    cycle.ready_ = true;
    cycle.readySince_ = now;
    cycle.nextReady_ = readyFirst_;
    readyFirst_ = &cycle;
    if (!readyLast_) readyLast_ = &cycle;
    ++readyCount_;
}

bool CycleScheduler::HandOnReady(ULONGLONG now) noexcept {
    // A worker woken already and not yet back under the lock is on its way to the turns.
    if (!readyFirst_ || idleWorkers_ == 0 || wakesPending_ > 0) return false;
    if (idleWorkers_ != liveWorkers_ && now - readyFirst_->readySince_ < kHandOnAfterMs)
        return false;
    ++wakesPending_;
    return true;
}

void CycleScheduler::TakeReady(ScheduledCycle& cycle) noexcept {
    ScheduledCycle* before = nullptr;
    for (ScheduledCycle* c = readyFirst_; c != &cycle; c = c->nextReady_) before = c;
    (before ? before->nextReady_ : readyFirst_) = cycle.nextReady_;
    if (readyLast_ == &cycle) readyLast_ = before;
    cycle.nextReady_ = nullptr;
    cycle.ready_ = false;
    --readyCount_;
}

bool CycleScheduler::StartWorker() noexcept {
    try {
        workers_.push_back(Worker{this, UniqueHandle(), false});
    } catch (...) {
        return false;
    }
    Worker& worker = workers_.back();
    worker.thread.Reset(CreateOwnThread(WorkerProc, &worker));
    if (!worker.thread) {
        workers_.pop_back();
        return false;
    }
    ++liveWorkers_;
    return true;
}

void CycleScheduler::ReapWorkers() noexcept {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (!it->ended) {
            ++it;
            continue;
        }
        // It has only its return left to do.
        WaitForSingleObject(it->thread.Get(), INFINITE);
        it = workers_.erase(it);
    }
}

DWORD CycleScheduler::ManageTurns(ULONGLONG now, bool& wakeWorker) noexcept {
    while (!heap_.empty() && heap_.front()->due_ <= now) {
        ScheduledCycle& due = *heap_.front();
        Untime(due);
        PushReady(due, now);
    }
    ReapWorkers();
    // Up to the standing pool, a worker for every turn nobody is free for; beyond it, one
    // more when every worker is stuck in a turn.
    while (liveWorkers_ < kMinWorkers && readyCount_ > idleWorkers_ && StartWorker()) {
    }
    wakeWorker = HandOnReady(now);
    DWORD sleep = INFINITE;
    if (readyFirst_) {
        sleep = kLookAgainMs;  // while turns wait
        if (liveWorkers_ < kMaxWorkers) {
            bool allStuck = idleWorkers_ == 0 && now - lastGrowth_ >= kGrowAfterMs;
            for (const Worker& worker : workers_)
                if (!worker.ended &&
                    (worker.turnSince == 0 || now - worker.turnSince < kGrowAfterMs))
                    allStuck = false;
            if (allStuck && StartWorker()) lastGrowth_ = now;
        }
    }
    if (!heap_.empty()) sleep = std::min(sleep, MillisecondsUntil(heap_.front()->due_, now));
    return sleep;
}

DWORD WINAPI CycleScheduler::TimerProc(void* self) noexcept {
    static_cast<CycleScheduler*>(self)->RunTimer();
    return 0;
}

DWORD WINAPI CycleScheduler::WorkerProc(void* worker) noexcept {
    Worker& self = *static_cast<Worker*>(worker);
    self.owner->RunWorker(self);
    return 0;
}

void CycleScheduler::RunTimer() noexcept {
    SrwLock lock(lock_);
    while (!ending_) {
        bool wakeWorker = false;
        const DWORD sleep = ManageTurns(PreciseTickMs(), wakeWorker);
        if (wakeWorker) {
            // Outside the lock: a worker woken under it would run only to wait for it, and
            // the two threads would trade the processor twice more for every batch. The
            // turns are looked at again afterwards, as anything may have changed meanwhile.
            SrwUnlock unlocked(lock_);
            WakeConditionVariable(&work_);
            continue;
        }
        SleepConditionVariableSRW(&timerWake_, &lock_, sleep, 0);
    }
}

void CycleScheduler::RunBatch(Worker& worker) noexcept {
    const DWORD self = GetCurrentThreadId();
    auto take = [&](ScheduledCycle& cycle) {
        TakeReady(cycle);
        cycle.running_ = true;
        cycle.runner_ = self;
        worker.turnSince = PreciseTickMs();
    };
    if (readyFirst_->begun_) {
        // The second half of a turn that another worker's batch began.
        ScheduledCycle& cycle = *readyFirst_;
        take(cycle);
        std::shared_ptr<CycleBatch> batch = std::move(cycle.batch_);
        cycle.begun_ = false;
        FinishTurn(worker, cycle);
        SrwUnlock unlocked(lock_);
        batch.reset();  // what the drivers' tasks hold of it is theirs
        return;
    }
    // First halves, one turn at a time, while fresh turns wait: a cycle that is not split (or
    // not due) ends at once, and one stuck in its first half leaves the turns after it in the
    // list for another worker.
    ScheduledCycle* begun[kBatchTurns];
    size_t count = 0;
    std::unique_ptr<CycleBatch> gathered;
    while (readyFirst_ && !readyFirst_->begun_ && count < kBatchTurns) {
        ScheduledCycle& cycle = *readyFirst_;
        take(cycle);
        {
            SrwUnlock unlocked(lock_);
            cycle.BeginTurn(gathered);
        }
        if (cycle.HalfDone())
            begun[count++] = &cycle;
        else
            FinishTurn(worker, cycle);
    }
    if (count == 0) return;
    std::shared_ptr<CycleBatch> batch;
    {
        SrwUnlock unlocked(lock_);
        if (gathered) {
            gathered->Start();
            try {
                batch = std::move(gathered);
            } catch (...) {
                // No memory to share it: this worker ends every turn of the batch itself.
            }
        }
    }
    // The second halves wait at the front of the list, so that a cycle that waits long for
    // its driver, or whose callback takes long, holds up none of the others: turns left
    // waiting are handed on to another worker.
    const ULONGLONG now = PreciseTickMs();
    for (size_t i = count; batch && i-- > 1;) {
        ScheduledCycle& cycle = *begun[i];
        if (cycle.stopped_) {
            FinishTurn(worker, cycle);  // no second half; its stop may be waiting for it
            continue;
        }
        cycle.running_ = false;
        cycle.runner_ = 0;
        cycle.begun_ = true;
        cycle.batch_ = batch;
        PushReadyFront(cycle, now);
    }
    for (size_t i = 0; i < (batch ? 1 : count); ++i) {
        worker.turnSince = PreciseTickMs();
        FinishTurn(worker, *begun[i]);
    }
    SrwUnlock unlocked(lock_);
    batch.reset();
    gathered.reset();
}

void CycleScheduler::FinishTurn(Worker& worker, ScheduledCycle& cycle) noexcept {
    DWORD next = INFINITE, grid = 0;
    // A group stopped meanwhile gets no second half (nobody waits for its values).
    if (!cycle.stopped_) {
        SrwUnlock unlocked(lock_);
        next = cycle.EndTurn(grid);
    }
    worker.turnSince = 0;
    cycle.running_ = false;
    cycle.runner_ = 0;
    if (cycle.abandoned_) {
        --cycles_;
        UpdateCycle* group = cycle.cycle_;
        SrwUnlock unlocked(lock_);
        group->DestroyAfterAbandonedStop();  // `cycle` goes with its group
        return;
    }
    if (cycle.stopped_) {
        WakeAllConditionVariable(&turnEnded_);
        return;
    }
    const ULONGLONG now = PreciseTickMs();
    if (std::exchange(cycle.wakeAgain_, false))
        Time(cycle, now);
    else if (next != INFINITE)
        Time(cycle, grid ? (now + next + grid - 1) / grid * grid : now + next);
}

void CycleScheduler::RunWorker(Worker& worker) noexcept {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        SrwLock lock(lock_);
        for (;;) {
            if (!readyFirst_) {
                if (ending_) break;
                ++idleWorkers_;
                const bool extra = liveWorkers_ > kMinWorkers;
                const bool woken =
                    SleepConditionVariableSRW(&work_, &lock_, extra ? retireAfterMs_ : INFINITE, 0);
                --idleWorkers_;
                if (wakesPending_ > 0) --wakesPending_;
                // Retires, unless it is the last one free beside workers stuck in turns.
                if (!woken && !readyFirst_ && liveWorkers_ > kMinWorkers && idleWorkers_ > 0) break;
                continue;
            }
            RunBatch(worker);
        }
        --liveWorkers_;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    SrwLock lock(lock_);
    worker.ended = true;
}
