// Milliseconds of a monotonic clock as fine as the timed waits. Under Wine GetTickCount64
// moves in steps of about 16 ms while a timed wait ends on time: a scheduler that compares its
// due times against it wakes on time, finds nothing due yet and sleeps again, several times
// for every turn.
#pragma once

#include <windows.h>

inline ULONGLONG PreciseTickMs() noexcept {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // In two parts, so that the product cannot overflow however long the machine has run.
    return static_cast<ULONGLONG>(now.QuadPart / frequency * 1000 +
                                  now.QuadPart % frequency * 1000 / frequency);
}
