// Scoped locks over the Win32 primitives the server uses: critical sections for object
// state, process mutexes (re-entrant, with time-limited waits) for the groups and the drivers.
#pragma once

#include <windows.h>

#include "win_handle.h"

class CriticalSection {
  public:
    CriticalSection() noexcept { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() noexcept { EnterCriticalSection(&cs_); }
    void Leave() noexcept { LeaveCriticalSection(&cs_); }

  private:
    CRITICAL_SECTION cs_;
};

class CriticalSectionLock {
  public:
    explicit CriticalSectionLock(CriticalSection& cs) noexcept : cs_(cs) { cs_.Enter(); }
    ~CriticalSectionLock() { cs_.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    CriticalSection& cs_;
};

// A re-entrant mutex with time-limited waits that stays inside the process: a slim
// reader/writer lock guards the owner and a condition variable wakes the waiters. Taking and
// giving it back uncontended costs a few interlocked operations, where a kernel mutex costs
// two round trips to the wineserver under Wine (15 to 60 us a pair); the groups' item calls
// take their mutex once per call, so that difference is a large part of a small call.
// A thread that ends while holding it leaves it held (nothing in the server does that).
class ProcessMutex {
  public:
    ProcessMutex() noexcept = default;
    ProcessMutex(const ProcessMutex&) = delete;
    ProcessMutex& operator=(const ProcessMutex&) = delete;

    // True when owned (again, by a thread that holds it already); false after `timeoutMs`.
    bool Acquire(DWORD timeoutMs = INFINITE) noexcept {
        const DWORD self = GetCurrentThreadId();
        const ULONGLONG start = GetTickCount64();
        AcquireSRWLockExclusive(&guard_);
        if (owner_ == self) {
            ++depth_;
            ReleaseSRWLockExclusive(&guard_);
            return true;
        }
        while (owner_ != 0) {
            DWORD wait = INFINITE;
            if (timeoutMs != INFINITE) {
                const ULONGLONG spent = GetTickCount64() - start;
                if (spent >= timeoutMs) {
                    ReleaseSRWLockExclusive(&guard_);
                    return false;
                }
                wait = static_cast<DWORD>(timeoutMs - spent);
            }
            SleepConditionVariableSRW(&freed_, &guard_, wait, 0);
        }
        owner_ = self;
        depth_ = 1;
        ReleaseSRWLockExclusive(&guard_);
        return true;
    }
    void Release() noexcept {
        AcquireSRWLockExclusive(&guard_);
        const bool freed = owner_ == GetCurrentThreadId() && --depth_ == 0;
        if (freed) owner_ = 0;
        ReleaseSRWLockExclusive(&guard_);
        if (freed) WakeConditionVariable(&freed_);
    }

  private:
    SRWLOCK guard_ = SRWLOCK_INIT;
    CONDITION_VARIABLE freed_ = CONDITION_VARIABLE_INIT;
    DWORD owner_ = 0;  // thread id; 0 while free
    ULONG depth_ = 0;
};

class ProcessMutexLock {
  public:
    explicit ProcessMutexLock(ProcessMutex& m) noexcept : m_(m) { m_.Acquire(); }
    ~ProcessMutexLock() { m_.Release(); }
    ProcessMutexLock(const ProcessMutexLock&) = delete;
    ProcessMutexLock& operator=(const ProcessMutexLock&) = delete;

  private:
    ProcessMutex& m_;
};

// Both or neither within `timeoutMs`: `first` and then `second`, the order in which every
// taker of both takes them, so that holding the first while waiting for the second cannot
// deadlock. The caller releases both.
inline bool AcquireBoth(ProcessMutex& first, ProcessMutex& second, DWORD timeoutMs) noexcept {
    const ULONGLONG start = GetTickCount64();
    if (!first.Acquire(timeoutMs)) return false;
    DWORD left = INFINITE;
    if (timeoutMs != INFINITE) {
        const ULONGLONG spent = GetTickCount64() - start;
        left = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
    }
    if (second.Acquire(left)) return true;
    first.Release();
    return false;
}

// A slim reader/writer lock taken exclusively for a scope.
class SrwLock {
  public:
    explicit SrwLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwLock() { ReleaseSRWLockExclusive(&lock_); }
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

  private:
    SRWLOCK& lock_;
};

// Waits on `cv` (with `lock` held exclusively) until `done()` or `ms` have passed; the result
// of `done()`.
template <class Done>
bool WaitUntil(CONDITION_VARIABLE& cv, SRWLOCK& lock, DWORD ms, Done&& done) noexcept {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= ms) return false;
            left = static_cast<DWORD>(ms - spent);
        }
        SleepConditionVariableSRW(&cv, &lock, left, 0);
    }
    return true;
}
