// The group update thread's stop protocol, including a thread that does not answer.
#include <windows.h>
#include <gtest/gtest.h>
#include <mmsystem.h>
#include <atomic>

#include "update_thread.h"

namespace {

struct FakeGroup final : UpdateCycle {
    DWORD UpdateRate() const noexcept override { return rate; }
    bool Active() const noexcept override {
        ++turns;
        return active;
    }
    bool RunCycle(DWORD& ended) noexcept override {
        ++cycles;
        while (stuck) Sleep(5);
        ended = timeGetTime();
        return true;
    }
    void DestroyAfterAbandonedStop() noexcept override { destroyedByThread = true; }

    std::atomic<DWORD> rate{250};
    std::atomic<bool> active{true};
    std::atomic<bool> stuck{false};
    std::atomic<int> cycles{0};
    std::atomic<bool> destroyedByThread{false};
    mutable std::atomic<int> turns{0};  // every look at the group
};

TEST(GroupUpdateThread, CyclesOnlyWhileActiveAndStopsPromptly) {
    FakeGroup group;
    group.active = false;
    GroupUpdateThread thread;
    ASSERT_TRUE(thread.Start(&group));
    Sleep(600);
    EXPECT_EQ(0, group.cycles.load()) << "an inactive group has no cycle";
    group.active = true;
    thread.Wake();
    for (int i = 0; i < 200 && group.cycles == 0; ++i) Sleep(10);
    EXPECT_GE(group.cycles.load(), 1);
    const DWORD start = GetTickCount();
    EXPECT_TRUE(thread.Stop());
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_FALSE(group.destroyedByThread);
}

// The thread sleeps until a cycle is due, or for ever while the group is inactive: idle
// groups cost nothing however many there are.
TEST(GroupUpdateThread, SleepsUntilACycleIsDueAndWakesForAChange) {
    FakeGroup group;
    group.active = false;
    GroupUpdateThread thread;
    ASSERT_TRUE(thread.Start(&group));
    Sleep(1000);
    EXPECT_LE(group.turns.load(), 2) << "an inactive group's thread does not poll";

    group.rate = 600;
    group.active = true;
    thread.Wake();
    Sleep(2000);
    const int cycles = group.cycles;
    EXPECT_GE(cycles, 2);
    EXPECT_LE(cycles, 4);
    EXPECT_LE(group.turns.load(), 2 + 2 * cycles + 2) << "one turn per cycle, not a tick";

    // A shorter rate takes effect at once, not after the longer one has passed.
    group.rate = 250;
    thread.Wake();
    const int before = group.cycles;
    Sleep(1000);
    EXPECT_GE(group.cycles - before, 3);
    EXPECT_TRUE(thread.Stop());
}

TEST(GroupUpdateThread, AThreadThatDoesNotAnswerCleansUpAfterItself) {
    FakeGroup group;
    group.rate = 0;
    group.stuck = true;
    GroupUpdateThread thread;
    ASSERT_TRUE(thread.Start(&group));
    for (int i = 0; i < 200 && group.cycles == 0; ++i) Sleep(10);
    ASSERT_EQ(1, group.cycles.load());
    EXPECT_FALSE(thread.Stop(300)) << "stop gives up on a stuck thread";
    EXPECT_FALSE(group.destroyedByThread);
    group.stuck = false;  // the driver call returns at last
    for (int i = 0; i < 500 && !group.destroyedByThread; ++i) Sleep(10);
    EXPECT_TRUE(group.destroyedByThread) << "the thread runs the clean-up when it ends";
    Sleep(100);  // let its return finish before `thread` goes
}

}  // namespace
