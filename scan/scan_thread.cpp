#include "scan_thread.h"

#include <mmsystem.h>
#include <algorithm>

std::atomic<DWORD> g_scanPeriod{kScanPeriodNone};

bool LowerScanPeriod(std::atomic<DWORD>& period, DWORD requestedRate) noexcept {
    const DWORD wanted = requestedRate < kScanPeriodMinimum ? kScanPeriodMinimum : requestedRate;
    DWORD current = period.load();
    while (wanted < current) {
        if (period.compare_exchange_weak(current, wanted)) return true;
    }
    return false;
}

ScanEngine& Scanner() noexcept {
    static ScanEngine engine(g_drivers, g_scanPeriod);
    return engine;
}

ScanEngine::ScanEngine(DriverRegistry& drivers, std::atomic<DWORD>& period) noexcept
    : drivers_(drivers),
      period_(period),
      stopEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      finishEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      wakeEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    try {
        if (wakeEvent_) drivers_.Subscribe(wakeEvent_.Get());
    } catch (...) {
        // Not told of new drivers: they are started at the next pass instead.
    }
}

ScanEngine::~ScanEngine() {
    StopNow();
    drivers_.Unsubscribe(wakeEvent_.Get());
}

void ScanEngine::RequestStart() noexcept {
    CriticalSectionLock lock(requests_);
    if (!thread_) {
        ResetEvent(stopEvent_.Get());
        ResetEvent(finishEvent_.Get());
        // A failed start leaves the thread marked as not running: the next request retries.
        thread_.Reset(CreateThread(nullptr, 0, ScanThreadProc, this, 0, nullptr));
    }
    ++serverObjects_;
}

void ScanEngine::RequestStop() noexcept {
    CriticalSectionLock lock(requests_);
    if (serverObjects_ > 0 && --serverObjects_ == 0) StopThreadLocked();
}

void ScanEngine::StopNow() noexcept {
    CriticalSectionLock lock(requests_);
    serverObjects_ = 0;
    StopThreadLocked();
}

void ScanEngine::StopThreadLocked() noexcept {
    if (!thread_) return;  // only a thread that was started is waited for
    SetEvent(stopEvent_.Get());
    WaitForSingleObject(finishEvent_.Get(), INFINITE);
    WaitForSingleObject(thread_.Get(), INFINITE);
    thread_.Reset();
}

bool ScanEngine::Running() const noexcept {
    CriticalSectionLock lock(requests_);
    return static_cast<bool>(thread_);
}

LONG ScanEngine::ServerObjects() const noexcept {
    CriticalSectionLock lock(requests_);
    return serverObjects_;
}

// Every driver updates on its own threads, all at once, and the pass waits for them at most
// one period: a slower driver's update is not begun again until it returns (the pass joins
// it), so it updates as fast as it can and the others at the period. One whose update runs
// longer than the limit is unresponsive meanwhile.
void ScanEngine::UpdatePass(const DriverSnapshot& lists, DWORD period) noexcept {
    std::vector<DriverCall<LONG>> begun;
    try {
        begun.reserve(lists->drivers.size());
    } catch (...) {
        return;  // no memory: the next pass
    }
    for (const auto& driver : lists->drivers) begun.push_back(driver->BeginRefresh());
    const DWORD limit = period < CDriver::kDriverLockLimitMs ? period : CDriver::kDriverLockLimitMs;
    const ULONGLONG start = GetTickCount64();
    for (DriverCall<LONG>& update : begun) {
        const ULONGLONG spent = GetTickCount64() - start;
        update.Wait(spent >= limit ? 0 : static_cast<DWORD>(limit - spent));
    }
}

DWORD WINAPI ScanEngine::ScanThreadProc(void* self) noexcept {
    static_cast<ScanEngine*>(self)->Scan();
    return 0;
}

// The lists are read afresh at every wake-up, and no snapshot is kept in between: drivers
// loaded meanwhile are started when first seen, and an unload never waits for this thread.
void ScanEngine::Scan() noexcept {
    std::vector<std::weak_ptr<CDriver>> started;
    auto startNew = [&](const DriverSnapshot& lists) {
        for (const auto& driver : lists->drivers) {
            bool known = false;
            for (const auto& s : started) known |= s.lock() == driver;
            if (known) continue;
            driver->Start(0);
            try {
                started.push_back(driver);
            } catch (...) {
                driver->Stop(0);  // cannot remember it: undo, and try again next tick
            }
        }
    };
    startNew(drivers_.Snapshot());
    DWORD t0 = timeGetTime();
    const HANDLE events[] = {stopEvent_.Get(), wakeEvent_.Get()};
    for (;;) {
        DWORD sleep = INFINITE;
        {
            DriverSnapshot lists = drivers_.Snapshot();
            startNew(lists);
            const DWORD period = period_.load();
            if (period != 0 && period != kScanPeriodNone) {
                // A pass once more than one period has passed since the end of the last one.
                if (timeGetTime() - t0 > period) {
                    UpdatePass(lists, period);
                    t0 = timeGetTime();
                }
                const DWORD since = timeGetTime() - t0;
                sleep = since > period ? 0 : period + 1 - since;
            }
        }
        // Without a wake-up event (none could be made) the thread polls, as it cannot be told.
        if (!wakeEvent_ && sleep > 10) sleep = 10;
        if (WaitForMultipleObjects(wakeEvent_ ? 2 : 1, events, FALSE, sleep) == WAIT_OBJECT_0)
            break;
    }
    for (const auto& weak : started)
        if (auto driver = weak.lock()) driver->Stop(0);
    SetEvent(finishEvent_.Get());
}
