#include "server_module.h"

namespace {
CServerModule g_module;
}

CServerModule& Module() noexcept {
    return g_module;
}

CServerModule::~CServerModule() = default;

LONG CServerModule::Lock() noexcept {
    return InterlockedIncrement(&lockCount_);
}

LONG CServerModule::Unlock() noexcept {
    LONG left = InterlockedDecrement(&lockCount_);
    if (left == 0) {
        InterlockedExchange(&activity_, 1);
        if (shutdownEvent_) SetEvent(shutdownEvent_.Get());
    }
    return left;
}

void CServerModule::StartGracePeriod() noexcept {
    InterlockedExchange(&activity_, 1);
    if (shutdownEvent_) SetEvent(shutdownEvent_.Get());
}

LONG CServerModule::LockCount() const noexcept {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&lockCount_), 0, 0);
}

bool CServerModule::ActivityPending() const noexcept {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&activity_), 0, 0) != 0;
}

bool CServerModule::Quiet() const noexcept {
    return !ActivityPending() && LockCount() == 0;
}

bool CServerModule::StartMonitor(DWORD gracePeriodMs) noexcept {
    gracePeriodMs_ = gracePeriodMs;
    shutdownEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!shutdownEvent_) return false;
    monitorThread_.Reset(CreateThread(nullptr, 0, MonitorThreadProc, this, 0, nullptr));
    return static_cast<bool>(monitorThread_);
}

DWORD WINAPI CServerModule::MonitorThreadProc(void* self) noexcept {
    // The monitor revokes class objects, which needs COM on this thread.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<CServerModule*>(self)->MonitorShutdown();
    if (SUCCEEDED(hr)) CoUninitialize();
    return 0;
}

void CServerModule::MonitorShutdown() noexcept {
    auto stopping = [this] { return InterlockedCompareExchange(&stopMonitor_, 0, 0) != 0; };
    for (;;) {
        WaitForSingleObject(shutdownEvent_.Get(), INFINITE);
        if (stopping()) return;
        // Grace period, restarted by every further drop of the count to 0.
        do {
            InterlockedExchange(&activity_, 0);
        } while (WaitForSingleObject(shutdownEvent_.Get(), gracePeriodMs_) == WAIT_OBJECT_0 &&
                 !stopping());
        if (stopping()) return;
        if (!Quiet()) continue;
        CoSuspendClassObjects();
        // Wine's CoSuspendClassObjects does nothing: revoke the class objects as well, so
        // that a process about to end cannot hand a new client an object that dies with it.
        // New activations then start a new server process.
        RevokeClassObjects();
        if (!Quiet()) continue;
        // The event stays open: a late Unlock may still signal it.
        PostThreadMessageW(mainThreadId_, WM_QUIT, 0, 0);
        return;
    }
}

void CServerModule::WaitForPendingActivity() noexcept {
    while (ActivityPending()) {
        if (!monitorThread_ || WaitForSingleObject(monitorThread_.Get(), 10) == WAIT_OBJECT_0)
            return;
    }
}

void CServerModule::StopMonitor() noexcept {
    if (!monitorThread_) return;
    InterlockedExchange(&stopMonitor_, 1);
    SetEvent(shutdownEvent_.Get());
    WaitForSingleObject(monitorThread_.Get(), INFINITE);
    monitorThread_.Reset();
}

HRESULT CServerModule::RegisterClassObject(REFCLSID clsid, IUnknown* factory,
                                           DWORD flags) noexcept {
    DWORD cookie = 0;
    HRESULT hr = CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, flags, &cookie);
    if (FAILED(hr)) return hr;
    CriticalSectionLock lock(registrationsLock_);
    try {
        registrations_.push_back({factory, cookie});
    } catch (...) {
        CoRevokeClassObject(cookie);
        return E_OUTOFMEMORY;
    }
    factory->AddRef();
    return S_OK;
}

void CServerModule::RevokeClassObjects() noexcept {
    std::vector<Registration> revoked;
    {
        CriticalSectionLock lock(registrationsLock_);
        revoked.swap(registrations_);
    }
    for (const Registration& r : revoked) {
        CoRevokeClassObject(r.cookie);
        r.factory->Release();
    }
}

size_t CServerModule::RegisteredClassCount() const noexcept {
    CriticalSectionLock lock(registrationsLock_);
    return registrations_.size();
}
