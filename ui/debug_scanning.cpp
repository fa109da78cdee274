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

DWORD DebugScanning::ScanAllDrivers() noexcept {
    const DWORD start = timeGetTime();
    ForEveryDriver([](CDriver& driver) { driver.Update(0); });
    return timeGetTime() - start;
}
