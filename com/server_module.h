// CServerModule: the process's COM module object. It counts the locks held on the server
// (live server-side objects and LockServer) and runs the shutdown monitor, which ends a
// COM-started process a grace period after the last lock is gone without new activity.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <vector>

#include "sync.h"
#include "win_handle.h"

class CServerModule {
  public:
    static constexpr DWORD kGracePeriodMs = 5000;

    CServerModule() = default;
    CServerModule(const CServerModule&) = delete;
    CServerModule& operator=(const CServerModule&) = delete;
    ~CServerModule();

    LONG Lock() noexcept;
    // When the count reaches 0: sets the activity flag and wakes the monitor.
    LONG Unlock() noexcept;
    LONG LockCount() const noexcept;

    void SetMainThreadId(DWORD id) noexcept { mainThreadId_ = id; }
    DWORD MainThreadId() const noexcept { return mainThreadId_; }

    // Creates the shutdown event and starts the monitor thread; false if either fails
    // (the process then never ends by itself).
    bool StartMonitor(DWORD gracePeriodMs = kGracePeriodMs) noexcept;
    // Starts the grace period now, as if the last client had just gone: for a process that COM
    // started for a client which may never come (two activations at once start two processes,
    // and the first to register takes both clients), so that it ends by itself as well.
    void StartGracePeriod() noexcept;
    // A release of the last lock that the monitor has not taken up yet.
    bool ActivityPending() const noexcept;
    // Waits while the activity flag is set, but never past the monitor's own end.
    void WaitForPendingActivity() noexcept;
    // Ends the monitor thread (exit without it having posted WM_QUIT) and joins it.
    void StopMonitor() noexcept;

    // Class objects registered for clients; the module keeps each factory referenced.
    HRESULT RegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD flags) noexcept;
    void RevokeClassObjects() noexcept;
    size_t RegisteredClassCount() const noexcept;

  private:
    struct Registration {
        IUnknown* factory;
        DWORD cookie;
    };

    static DWORD WINAPI MonitorThreadProc(void* self) noexcept;
    void MonitorShutdown() noexcept;
    bool Quiet() const noexcept;

    volatile LONG lockCount_ = 0;
    volatile LONG activity_ = 0;
    volatile LONG stopMonitor_ = 0;
    DWORD mainThreadId_ = 0;
    DWORD gracePeriodMs_ = kGracePeriodMs;
    UniqueHandle shutdownEvent_;
    UniqueHandle monitorThread_;
    mutable CriticalSection registrationsLock_;
    std::vector<Registration> registrations_;
};

// The process-wide module object.
CServerModule& Module() noexcept;
