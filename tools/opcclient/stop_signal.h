// Ctrl+C (or the console closing) arrives on a thread of its own. A command that waits on
// this signal instead of sleeping ends its wait then and cleans up as usual: a watch removes
// its group, a benchmark puts back what it set on the server.
#pragma once

#include <windows.h>

// One at a time in a process.
class StopSignal {
  public:
    // Throws ToolError (failure) when the event cannot be made.
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // True when stopped before the time was up.
    bool Wait(DWORD ms) const;
    // Ends every wait, now and later, as Ctrl+C does.
    void Set() const noexcept;
};
