// The process-wide driver lists: every loaded driver and its display name, in "Drivers.cfg"
// order.
//
// Readers take a snapshot: an immutable pair of the two lists, counted, that stays valid
// however the lists change meanwhile. A driver (and its DLL) lives while any snapshot or
// driver reference holds it, so no entry point can run on a released DLL. Whoever keeps a
// driver beyond one operation (an item, say) keeps a weak reference and locks it per use.
// LoadDrivers and UnloadDrivers publish a whole new pair at once, so no reader ever sees a
// half-changed list.
#pragma once

#include <windows.h>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver.h"
#include "sync.h"

struct DriverLists {
    std::vector<std::shared_ptr<CDriver>> drivers;
    std::vector<std::string> driverNames;  // the display names, parallel to `drivers`

    // Exact, case-sensitive display name; the first match.
    std::shared_ptr<CDriver> Find(std::string_view displayName) const;
};
using DriverSnapshot = std::shared_ptr<const DriverLists>;

class DriverRegistry {
  public:
    DriverRegistry();

    DriverSnapshot Snapshot() const;

    // Appends every driver of the list file that loads; returns 0.
    int LoadFrom(const std::string& listFile);
    // Empties both lists. The DLLs are released once the last operation still using one
    // has returned; this waits up to `drainMs` for that, so that a following load finds
    // every driver in its freshly loaded state.
    void Unload(DWORD drainMs = 30000);

    // `event` is set whenever the lists change, until Unsubscribe (a thread that sleeps
    // between driver passes wakes up for new drivers this way).
    void Subscribe(HANDLE event);  // throws std::bad_alloc
    void Unsubscribe(HANDLE event) noexcept;

  private:
    void Publish(DriverSnapshot lists);

    mutable CriticalSection publishLock_;  // guards `current_` and `subscribers_` only, never
                                           // held in a driver
    std::vector<HANDLE> subscribers_;
    CriticalSection changeLock_;  // one load or unload at a time
    DriverSnapshot current_;
};

// g_drivers holds both lists: Snapshot()->drivers and Snapshot()->driverNames.
extern DriverRegistry g_drivers;

// The directory of the executable, in short form, without the trailing '\'.
std::string ExecutableDirectory();

// Makes the executable's directory current and loads the drivers named in "Drivers.cfg" in
// the directory above it.
int LoadDrivers();
void UnloadDrivers();

// One line of "Drivers.cfg": the DLL name before the first '|', the display name after it.
// Nothing is trimmed. Comment lines (';' first) yield false.
bool ParseDriverLine(const std::string& line, std::string& dllName, std::string& displayName);
