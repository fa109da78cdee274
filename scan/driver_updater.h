// One driver's updates on a thread of its own, so that a driver whose DLLUpdate never returns
// holds up nobody but itself: the scan thread starts an update of every driver, waits for
// them a limited time, and skips a driver whose previous update has not returned.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>

#include "driver.h"
#include "win_handle.h"

class DriverUpdater {
  public:
    // Throws std::bad_alloc, or std::runtime_error when no thread can be made.
    explicit DriverUpdater(const std::shared_ptr<CDriver>& driver);
    // Ends the thread. A thread still inside the driver is left behind: it ends by itself if
    // the driver ever returns, and with the process otherwise.
    ~DriverUpdater();
    DriverUpdater(const DriverUpdater&) = delete;
    DriverUpdater& operator=(const DriverUpdater&) = delete;

    bool Serves(const std::shared_ptr<CDriver>& driver) const noexcept;
    bool DriverGone() const noexcept;

    // Starts one update; false while the previous one is still running.
    bool Begin() noexcept;
    // True once the update begun last has returned; waits at most `ms` for it.
    bool WaitDone(DWORD ms) const noexcept;
    // How long the running update has been running, 0 when none runs.
    DWORD RunningFor() const noexcept;

  private:
    struct Shared {
        std::weak_ptr<CDriver> driver;
        UniqueHandle go;    // auto-reset: one update, or the end
        UniqueHandle done;  // manual-reset: the update begun last has returned
        std::atomic<bool> busy{false};
        std::atomic<bool> stop{false};
        std::atomic<ULONGLONG> began{0};
    };
    static DWORD WINAPI ThreadProc(void* shared) noexcept;

    std::shared_ptr<Shared> shared_;
    UniqueHandle thread_;
};
