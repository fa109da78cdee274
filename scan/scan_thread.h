// The scan thread: while at least one server object lives, it keeps every driver started and
// asks all drivers to refresh their data once per scan period. Between passes it sleeps until
// the next pass is due (for ever while no group has set a period), woken early by a lowered
// period, a change of the driver lists or a stop.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>
#include <vector>

#include "driver_list.h"
#include "sync.h"
#include "win_handle.h"

constexpr DWORD kScanPeriodNone = 0xFFFFFFFF;  // no group yet: drivers never updated
constexpr DWORD kScanPeriodMinimum = 250;

// The scan period in milliseconds: lowered by every group's update rate, never raised.
extern std::atomic<DWORD> g_scanPeriod;

// A rate below the minimum sets the minimum; any other rate lowers the period to it. True
// when the period changed.
bool LowerScanPeriod(std::atomic<DWORD>& period, DWORD requestedRate) noexcept;

class ScanEngine {
  public:
    ScanEngine(DriverRegistry& drivers, std::atomic<DWORD>& period) noexcept;
    ~ScanEngine();
    ScanEngine(const ScanEngine&) = delete;
    ScanEngine& operator=(const ScanEngine&) = delete;

    // Every new server object: starts the thread if none runs, then counts the object.
    void RequestStart() noexcept;
    // Every released server object: the last one stops the thread and waits until it ended
    // (about one polling tick plus a running update pass).
    void RequestStop() noexcept;
    // Ends the thread whatever the count (process exit): no driver call happens after this.
    void StopNow() noexcept;

    // The period may have changed: the thread looks again now rather than at its next pass.
    void Wake() noexcept { SetEvent(wakeEvent_.Get()); }

    bool Running() const noexcept;
    LONG ServerObjects() const noexcept;

  private:
    static DWORD WINAPI ScanThreadProc(void* self) noexcept;
    void Scan() noexcept;
    void UpdatePass(const DriverSnapshot& lists, DWORD period) noexcept;
    void StopThreadLocked() noexcept;

    DriverRegistry& drivers_;
    std::atomic<DWORD>& period_;
    // Start and stop requests come from many COM threads at once: one lock orders them. The
    // scan thread never takes it, so waiting for the thread under it cannot deadlock.
    mutable CriticalSection requests_;
    LONG serverObjects_ = 0;
    UniqueHandle thread_;
    UniqueHandle stopEvent_;    // g_scanStopEvent of this engine
    UniqueHandle finishEvent_;  // the thread's last act
    UniqueHandle wakeEvent_;    // the period or the driver lists changed
};

// The process's scan engine over g_drivers and g_scanPeriod.
ScanEngine& Scanner() noexcept;

// A group's rate: lowers the process's scan period and lets the scan thread see it at once.
inline void LowerScanPeriod(DWORD requestedRate) noexcept {
    if (LowerScanPeriod(g_scanPeriod, requestedRate)) Scanner().Wake();
}
