// The configurator's debug scanning: the drivers run by hand, without any OPC client. Prepare
// starts every driver, a scan calls every driver's update once, End stops them again; the
// window adds a 250 ms timer for continuous scanning. The drivers' start counts are shared
// with the server's scan thread, so a driver that serves clients is neither started twice
// nor stopped under them.
#pragma once

#include <windows.h>

class DebugScanning {
  public:
    // The numbers are the mode's stored values.
    enum Mode : LONG { ScanStepping = 0, ScanIdle = 1, ScanRunning = 2 };

    Mode CurrentMode() const noexcept { return mode_; }
    void SetMode(Mode mode) noexcept { mode_ = mode; }

    // Whether one of the five scanning commands is enabled in `mode` (false for any other id).
    static bool IsEnabled(Mode mode, UINT command) noexcept;
    bool IsEnabled(UINT command) const noexcept { return IsEnabled(mode_, command); }

    // Every driver, in list order. A driver that fails is skipped; the others still run.
    static void StartAllDrivers() noexcept;
    static void StopAllDrivers() noexcept;
    // One update of every driver; the duration in milliseconds of the multimedia clock
    // (right across a wrap of the clock).
    static DWORD ScanAllDrivers() noexcept;

  private:
    Mode mode_ = ScanIdle;
};
