#include "debug_scanning.h"

#include <mmsystem.h>

#include "driver_list.h"
#include "resource_ids.h"

namespace {

// The driver host keeps every driver fault inside the call; a failure to take the snapshot
// (no memory) leaves the pass out.
template <class Call>
void ForEveryDriver(Call&& call) noexcept {
    try {
        const DriverSnapshot lists = g_drivers.Snapshot();
        for (const auto& driver : lists->drivers) call(*driver);
    } catch (...) {
    }
}

}  // namespace

bool DebugScanning::IsEnabled(Mode mode, UINT command) noexcept {
    switch (command) {
        case ID_SCAN_PREPARE:
        case ID_SCAN_START:
            return mode == ScanIdle;
        case ID_SCAN_SINGLE:
        case ID_SCAN_END:
            return mode == ScanStepping;
        case ID_SCAN_STOP:
            return mode == ScanRunning;
        default:
            return false;
    }
}

void DebugScanning::StartAllDrivers() noexcept {
    ForEveryDriver([](CDriver& driver) { driver.Start(0); });
}

void DebugScanning::StopAllDrivers() noexcept {
    ForEveryDriver([](CDriver& driver) { driver.Stop(0); });
}

// All drivers update at once, and the window waits for them within its own limit: a driver
// that does not answer holds it up that long at most, and not at all once it is unresponsive.
DWORD DebugScanning::ScanAllDrivers() noexcept {
    const DWORD start = timeGetTime();
    std::vector<DriverCall<LONG>> updates;
    ForEveryDriver([&](CDriver& driver) {
        if (!driver.IsUnresponsive()) updates.push_back(driver.BeginRefresh());
    });
    const DWORD limit = CDriver::WaitLimit();
    for (DriverCall<LONG>& update : updates) {
        const DWORD spent = timeGetTime() - start;
        update.Wait(spent >= limit ? 0 : limit - spent);
    }
    return timeGetTime() - start;
}
