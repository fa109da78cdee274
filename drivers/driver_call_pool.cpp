#include "driver_call_pool.h"

#include <objbase.h>
#include <algorithm>
#include <deque>

#include "sync.h"
#include "thread_slot.h"

struct DriverCallPool::Shared {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;     // a task queued, or closed
    CONDITION_VARIABLE drained = CONDITION_VARIABLE_INIT;  // a task finished
    std::deque<std::shared_ptr<Task>> queue;
    std::vector<Task*> running;
    size_t threads = 0, idle = 0;
    bool closed = false;
};

namespace {
ThreadSlot<const void*> g_servedPool;  // the pool the thread serves
}

DriverCallPool::DriverCallPool() : shared_(std::make_shared<Shared>()) {}

DriverCallPool::~DriverCallPool() = default;

bool DriverCallPool::Start(const std::shared_ptr<Task>& task) noexcept {
    if (!task) return false;
    bool idleThread = false;
    {
        SrwLock lock(shared_->lock);
        if (shared_->closed) return false;
        try {
            shared_->queue.push_back(task);
        } catch (...) {
            return false;
        }
        idleThread = shared_->idle >= shared_->queue.size();
        if (!idleThread) {
            if (shared_->threads >= kMaxThreads) return true;  // a busy thread takes it when free
            ++shared_->threads;                                // the slot of the thread made below
        }
    }
    if (idleThread) {
        // Outside the lock: a thread woken under it would run only to wait for it.
        WakeConditionVariable(&shared_->work);
        return true;
    }
    // The thread is made outside the lock: under Wine a thread's creation can wait on the
    // platform's own locks (the loader's, the RPC layer's), and every caller of every driver
    // queued behind it on this lock while it did.
    // The thread holds the shared state: it may outlive the pool inside a driver.
    auto* own = new (std::nothrow) std::shared_ptr<Shared>(shared_);
    HANDLE thread = own ? CreateThread(nullptr, 0, ThreadProc, own, 0, nullptr) : nullptr;
    if (thread) {
        CloseHandle(thread);
        return true;
    }
    delete own;
    SrwLock lock(shared_->lock);
    --shared_->threads;
    if (shared_->threads > 0) return true;  // a busy thread takes it when it is free
    // No thread to run it: the task goes (if no thread has taken it meanwhile).
    auto queued = std::find(shared_->queue.begin(), shared_->queue.end(), task);
    if (queued == shared_->queue.end()) return true;
    shared_->queue.erase(queued);
    return false;
}

bool DriverCallPool::Wait(const std::shared_ptr<Task>& task, DWORD ms) noexcept {
    if (!task) return false;
    SrwLock lock(shared_->lock);
    return WaitUntil(task->finished_, shared_->lock, ms, [&] { return task->done_; });
}

bool DriverCallPool::AnyRunningLongerThan(DWORD ms) const noexcept {
    SrwLock lock(shared_->lock);
    const ULONGLONG now = GetTickCount64();
    return std::any_of(shared_->running.begin(), shared_->running.end(),
                       [&](const Task* t) { return now - t->began_ > ms; });
}

bool DriverCallPool::OnPoolThread() const noexcept {
    return g_servedPool.Get() == shared_.get();
}

void DriverCallPool::Close(DWORD ms) noexcept {
    SrwLock lock(shared_->lock);
    shared_->closed = true;
    shared_->queue.clear();
    WakeAllConditionVariable(&shared_->work);
    // The task running on this very thread (its driver's last reference went with it) is
    // over already: its thread has left the driver.
    WaitUntil(shared_->drained, shared_->lock, ms, [&] { return shared_->running.empty(); });
}

DWORD WINAPI DriverCallPool::ThreadProc(void* parameter) noexcept {
    std::shared_ptr<Shared> shared = std::move(*static_cast<std::shared_ptr<Shared>*>(parameter));
    delete static_cast<std::shared_ptr<Shared>*>(parameter);
    // Drivers may use COM (a stream, a dialog's OLE control): the thread is in the
    // multithreaded apartment, as the callers' threads were.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    g_servedPool.Set(shared.get());
    AcquireSRWLockExclusive(&shared->lock);
    for (;;) {
        ++shared->idle;
        const bool got = WaitUntil(shared->work, shared->lock, kIdleMs,
                                   [&] { return shared->closed || !shared->queue.empty(); });
        --shared->idle;
        if (!got || shared->queue.empty()) break;  // idle too long, or closed
        std::shared_ptr<Task> task = std::move(shared->queue.front());
        shared->queue.pop_front();
        task->began_ = GetTickCount64();
        shared->running.push_back(task.get());
        ReleaseSRWLockExclusive(&shared->lock);

        task->Run();

        AcquireSRWLockExclusive(&shared->lock);
        task->done_ = true;
        shared->running.erase(
            std::find(shared->running.begin(), shared->running.end(), task.get()));
        ReleaseSRWLockExclusive(&shared->lock);
        // The waiters are woken outside the lock (one woken under it would run only to wait
        // for it), and the task, which may hold its driver's last reference, goes after them
        // and outside the lock too, since the driver's end closes this pool.
        WakeAllConditionVariable(&task->finished_);
        WakeAllConditionVariable(&shared->drained);
        task.reset();
        AcquireSRWLockExclusive(&shared->lock);
    }
    --shared->threads;
    ReleaseSRWLockExclusive(&shared->lock);
    g_servedPool.Set(nullptr);
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}
