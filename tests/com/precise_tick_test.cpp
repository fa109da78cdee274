// The clock the update cycles are scheduled by, against the timed waits it serves: a wait of a
// few milliseconds must show on it when it ends, or the scheduler's timer wakes on time, finds
// nothing due yet and sleeps again (GetTickCount64 under Wine moves in steps of about 16 ms).
#include <windows.h>
#include <gtest/gtest.h>

#include "precise_tick.h"

namespace {

TEST(PreciseTick, AShortTimedWaitShowsOnTheClockAndItNeverGoesBack) {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE never = CONDITION_VARIABLE_INIT;
    AcquireSRWLockExclusive(&lock);
    constexpr int kWaits = 20;
    int shown = 0;
    ULONGLONG last = PreciseTickMs();
    for (int i = 0; i < kWaits; ++i) {
        const ULONGLONG before = PreciseTickMs();
        EXPECT_GE(before, last);
        SleepConditionVariableSRW(&never, &lock, 4, 0);
        last = PreciseTickMs();
        // A millisecond of rounding either way; a rare early wake of the wait is allowed for.
        if (last - before >= 3) ++shown;
    }
    ReleaseSRWLockExclusive(&lock);
    EXPECT_GE(shown, kWaits - 2);
}

}  // namespace
