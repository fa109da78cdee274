// Scoped locks over the Win32 primitives the server uses: critical sections for object
// state, kernel mutexes where a wait needs a time limit.
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

class KernelMutex {
  public:
    KernelMutex() noexcept : h_(CreateMutexW(nullptr, FALSE, nullptr)) {}
    bool Valid() const noexcept { return static_cast<bool>(h_); }
    // True when the mutex is owned; an abandoned mutex is owned too (its owner died).
    bool Acquire(DWORD timeoutMs = INFINITE) noexcept {
        DWORD r = WaitForSingleObject(h_.Get(), timeoutMs);
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void Release() noexcept { ReleaseMutex(h_.Get()); }
    HANDLE Handle() const noexcept { return h_.Get(); }

  private:
    UniqueHandle h_;
};

// Both mutexes or neither, in one wait of at most `timeoutMs`; an abandoned one counts as
// owned. The caller releases both.
inline bool AcquireBoth(KernelMutex& a, KernelMutex& b, DWORD timeoutMs) noexcept {
    const HANDLE both[2] = {a.Handle(), b.Handle()};
    const DWORD r = WaitForMultipleObjects(2, both, TRUE, timeoutMs);
    return r < WAIT_OBJECT_0 + 2 || (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + 2);
}

class KernelMutexLock {
  public:
    explicit KernelMutexLock(KernelMutex& m, DWORD timeoutMs = INFINITE) noexcept
        : m_(m), owned_(m.Acquire(timeoutMs)) {}
    ~KernelMutexLock() {
        if (owned_) m_.Release();
    }
    bool Owned() const noexcept { return owned_; }
    KernelMutexLock(const KernelMutexLock&) = delete;
    KernelMutexLock& operator=(const KernelMutexLock&) = delete;

  private:
    KernelMutex& m_;
    bool owned_;
};
