// The cycle scheduler in this process: rates kept for many groups at once, turns only when
// due, a stuck cycle that does not hold up the others, and the stop protocol, including a
// cycle that does not end in time.
#include <windows.h>
#include <gtest/gtest.h>
#include <mmsystem.h>
#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "cycle_scheduler.h"

namespace {

struct FakeGroup final : UpdateCycle {
    DWORD UpdateRate() const noexcept override { return rate; }
    bool Active() const noexcept override {
        ++turns;
        return active;
    }
    // The whole cycle at once, as a cycle that is not split runs.
    CycleStart BeginCycle(std::unique_ptr<CycleBatch>& /*batch*/, DWORD& ended) noexcept override {
        if (running.exchange(true)) overlapped = true;
        const DWORD began = timeGetTime();
        if (began - lastEnded <= rate && cycles > 0) early = true;
        starts.push_back(GetTickCount64());  // only this group's cycle touches it
        if (++cycles == stuckAtCycle) stuck = true;
        while (stuck) Sleep(5);
        Sleep(workMs);
        ended = lastEnded = timeGetTime();
        running = false;
        return CycleStart::kEnded;
    }
    void DestroyAfterAbandonedStop() noexcept override { destroyedByWorker = true; }

    std::atomic<DWORD> rate{250};
    std::atomic<bool> active{true};
    std::atomic<bool> stuck{false};
    std::atomic<DWORD> workMs{0};
    std::atomic<int> cycles{0};
    std::atomic<bool> running{false}, overlapped{false};
    std::atomic<bool> destroyedByWorker{false};
    mutable std::atomic<int> turns{0};  // every look at the group
    std::atomic<int> stuckAtCycle{0};   // the cycle that hangs (0: none)
    std::atomic<bool> early{false};     // a cycle began before the rate had passed
    DWORD lastEnded = 0;
    std::vector<ULONGLONG> starts;  // read once the group's cycles are stopped
};

// The driver work that split cycles gather (see SplitGroup).
std::atomic<int> g_batchesStarted{0};
struct FakeBatch final : CycleBatch {
    void Start() noexcept override {
        started = true;
        ++g_batchesStarted;
    }
    std::atomic<bool> started{false};
};

// A cycle in two halves, as the groups' are: the first puts its work into the batch, the
// second takes the answers once the batch has started.
struct SplitGroup final : UpdateCycle {
    DWORD UpdateRate() const noexcept override { return rate; }
    bool Active() const noexcept override { return true; }
    CycleStart BeginCycle(std::unique_ptr<CycleBatch>& batch, DWORD& /*ended*/) noexcept override {
        if (halfOpen.exchange(true)) overlapped = true;
        if (timeGetTime() - lastEnded <= rate && cycles > 0) early = true;
        if (!batch) batch = std::make_unique<FakeBatch>();
        mine = static_cast<FakeBatch*>(batch.get());
        return CycleStart::kBegun;
    }
    void EndCycle(DWORD& ended) noexcept override {
        if (!mine->started) unstarted = true;  // the batch must outlive every second half
        if (++cycles == stuckAtCycle) stuck = true;
        while (stuck) Sleep(5);
        ended = lastEnded = timeGetTime();
        halfOpen = false;
    }
    void DestroyAfterAbandonedStop() noexcept override {}

    DWORD rate = 300;
    std::atomic<bool> stuck{false}, halfOpen{false}, overlapped{false}, early{false};
    std::atomic<bool> unstarted{false};
    std::atomic<int> cycles{0}, stuckAtCycle{0};
    FakeBatch* mine = nullptr;
    DWORD lastEnded = 0;
};

template <class Done>
bool WaitFor(Done&& done, DWORD ms = 5000) {
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > ms) return false;
        Sleep(10);
    }
    return true;
}

TEST(CycleScheduler, CyclesOnlyWhileActiveAndStopsPromptly) {
    CycleScheduler scheduler;
    FakeGroup group;
    group.active = false;
    ScheduledCycle cycle;
    ASSERT_TRUE(cycle.Start(&group, scheduler));
    Sleep(600);
    EXPECT_EQ(0, group.cycles.load()) << "an inactive group has no cycle";
    EXPECT_LE(group.turns.load(), 2) << "an inactive group is not polled";
    group.active = true;
    cycle.Wake();
    EXPECT_TRUE(WaitFor([&] { return group.cycles > 0; }, 2000))
        << "a group made active has its first cycle within its rate";
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(cycle.Stop());
    EXPECT_LT(GetTickCount64() - start, 5000u);
    EXPECT_FALSE(group.destroyedByWorker);
}

// A group is looked at when its cycle is due, not at a tick; a change of the rate takes effect
// at once, not after the longer one has passed.
TEST(CycleScheduler, TurnsComeWhenDueAndAWakeTakesTheNewRate) {
    CycleScheduler scheduler;
    FakeGroup group;
    group.rate = 600;
    ScheduledCycle cycle;
    ASSERT_TRUE(cycle.Start(&group, scheduler));
    Sleep(2000);
    const int cycles = group.cycles;
    EXPECT_GE(cycles, 2);
    EXPECT_LE(cycles, 4);
    EXPECT_LE(group.turns.load(), 2 + 2 * cycles + 2) << "one turn per cycle, not a tick";

    group.rate = 250;
    cycle.Wake();
    const int before = group.cycles;
    Sleep(1000);
    EXPECT_GE(group.cycles - before, 3);
    EXPECT_TRUE(cycle.Stop());
}

// Counted over a few seconds with generous bounds: a busy machine delays cycles, but a group
// that is forgotten, or run at another group's rate, falls far outside them.
TEST(CycleScheduler, ManyGroupsEachKeepTheirOwnRate) {
    CycleScheduler scheduler;
    const DWORD rates[] = {250, 500, 1000};
    constexpr int kPerRate = 40;
    std::vector<std::unique_ptr<FakeGroup>> groups;
    std::vector<std::unique_ptr<ScheduledCycle>> cycles;
    for (DWORD rate : rates)
        for (int i = 0; i < kPerRate; ++i) {
            groups.push_back(std::make_unique<FakeGroup>());
            groups.back()->rate = rate;
            groups.back()->workMs = i % 3;  // cycles that take a little time
            cycles.push_back(std::make_unique<ScheduledCycle>());
            ASSERT_TRUE(cycles.back()->Start(groups.back().get(), scheduler));
        }
    constexpr DWORD kWatchMs = 3000;
    Sleep(kWatchMs);
    for (auto& cycle : cycles) EXPECT_TRUE(cycle->Stop());
    for (const auto& group : groups) {
        const int expected = static_cast<int>(kWatchMs / (group->rate + 1));
        EXPECT_GE(group->cycles.load(), expected / 2) << "rate " << group->rate;
        EXPECT_LE(group->cycles.load(), expected + 1) << "rate " << group->rate;
        EXPECT_FALSE(group->overlapped) << "a group's cycle never runs twice at once";
    }
    EXPECT_LE(scheduler.Workers(), 8u) << "a hundred groups' cycles share a few threads";
}

TEST(CycleScheduler, StuckCyclesDoNotHoldUpTheOtherGroups) {
    CycleScheduler scheduler(300);  // extra workers retire soon
    constexpr size_t kStuck = CycleScheduler::kMinWorkers + 2;
    std::vector<std::unique_ptr<FakeGroup>> groups;
    std::vector<std::unique_ptr<ScheduledCycle>> cycles;
    for (size_t i = 0; i < kStuck + 10; ++i) {
        groups.push_back(std::make_unique<FakeGroup>());
        groups.back()->stuck = i < kStuck;
        cycles.push_back(std::make_unique<ScheduledCycle>());
    }
    // The stuck ones first, so that they take every standing worker.
    for (size_t i = 0; i < groups.size(); ++i)
        ASSERT_TRUE(cycles[i]->Start(groups[i].get(), scheduler));
    EXPECT_TRUE(WaitFor([&] {
        for (size_t i = kStuck; i < groups.size(); ++i)
            if (groups[i]->cycles < 3) return false;
        return true;
    })) << "the other groups go on at their rate";
    EXPECT_GT(scheduler.Workers(), kStuck);
    for (size_t i = 0; i < kStuck; ++i) EXPECT_EQ(1, groups[i]->cycles.load());

    for (size_t i = 0; i < kStuck; ++i) groups[i]->stuck = false;  // the drivers answer again
    for (auto& cycle : cycles) EXPECT_TRUE(cycle->Stop());
    EXPECT_TRUE(WaitFor([&] { return scheduler.Workers() == CycleScheduler::kMinWorkers; }))
        << "extra workers that have nothing to do end";
}

// Groups of one rate that began within a few steps of its grid come to share their turns (one
// wake-up for all of them), and no cycle comes before the rate has passed since the group's
// last.
TEST(CycleScheduler, TurnsOfOneRateGatherAndNeverComeEarly) {
    CycleScheduler scheduler;
    constexpr DWORD kRate = 500;
    const DWORD grid = kRate / 10;
    constexpr size_t kGroups = 20;
    std::vector<std::unique_ptr<FakeGroup>> groups;
    std::vector<std::unique_ptr<ScheduledCycle>> cycles;
    for (size_t i = 0; i < kGroups; ++i) {
        groups.push_back(std::make_unique<FakeGroup>());
        groups.back()->rate = kRate;
        cycles.push_back(std::make_unique<ScheduledCycle>());
        ASSERT_TRUE(cycles.back()->Start(groups.back().get(), scheduler));
        Sleep(4);  // over more than one step of the grid
    }
    Sleep(3000);
    for (auto& cycle : cycles) EXPECT_TRUE(cycle->Stop());
    std::vector<ULONGLONG> slots;  // the grid steps in which later cycles began
    size_t later = 0;
    for (const auto& group : groups) {
        EXPECT_FALSE(group->early) << "a cycle came before the rate had passed";
        EXPECT_GE(group->cycles.load(), 3) << "a group's cycles go on at about its rate";
        for (size_t c = 1; c < group->starts.size(); ++c, ++later)
            slots.push_back(group->starts[c] / grid);
    }
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    EXPECT_LE(slots.size() * 4, later) << "the groups' later cycles share their turns";
}

// A group's first cycle after it was made active comes within its rate, and one made active
// again soon after a cycle comes when the rate since that cycle has passed, not a grid later.
TEST(CycleScheduler, AGroupMadeActiveHasItsCycleWithinItsRate) {
    CycleScheduler scheduler;
    FakeGroup group;
    group.rate = 1000;
    group.active = false;
    ScheduledCycle cycle;
    ASSERT_TRUE(cycle.Start(&group, scheduler));
    Sleep(1200);
    ULONGLONG woken = GetTickCount64();
    group.active = true;
    cycle.Wake();
    ASSERT_TRUE(WaitFor([&] { return group.cycles > 0; }, 2000));
    EXPECT_LT(GetTickCount64() - woken, 500u) << "a group long inactive has its cycle at once";

    group.active = false;
    cycle.Wake();
    Sleep(300);
    woken = GetTickCount64();
    group.active = true;
    cycle.Wake();
    ASSERT_TRUE(WaitFor([&] { return group.cycles > 1; }, 3000));
    EXPECT_LE(GetTickCount64() - woken, 1000u) << "within the rate of the activation";
    EXPECT_TRUE(cycle.Stop());
    EXPECT_FALSE(group.early);
}

// Turns that fall due together go to one worker, one after the other; a turn of them that
// hangs must not keep the rest waiting: another worker takes them up.
TEST(CycleScheduler, AStuckTurnDoesNotHoldUpTheRestOfItsBatch) {
    CycleScheduler scheduler(300);
    constexpr size_t kGroups = 12;
    std::vector<std::unique_ptr<FakeGroup>> groups;
    std::vector<std::unique_ptr<ScheduledCycle>> cycles;
    for (size_t i = 0; i < kGroups; ++i) {
        groups.push_back(std::make_unique<FakeGroup>());
        groups.back()->rate = 300;
        groups.back()->stuckAtCycle = i == kGroups / 2 ? 3 : 0;  // hangs once gathered
        cycles.push_back(std::make_unique<ScheduledCycle>());
        ASSERT_TRUE(cycles.back()->Start(groups.back().get(), scheduler));
    }
    FakeGroup& hung = *groups[kGroups / 2];
    ASSERT_TRUE(WaitFor([&] { return hung.stuck.load(); }));
    std::vector<int> before;
    for (const auto& group : groups) before.push_back(group->cycles);
    EXPECT_TRUE(WaitFor(
        [&] {
            for (size_t i = 0; i < kGroups; ++i)
                if (groups[i].get() != &hung && groups[i]->cycles < before[i] + 3) return false;
            return true;
        },
        3000))
        << "the others go on at their rate";
    hung.stuck = false;
    for (auto& cycle : cycles) EXPECT_TRUE(cycle->Stop());
    for (const auto& group : groups) EXPECT_FALSE(group->early);
}

// Split cycles that fall due together share one batch (one wake-up of each driver for all of
// them), every second half comes after its batch has started, and a second half that hangs
// (a driver that does not answer) holds up none of the others: they are handed on.
TEST(CycleScheduler, CyclesDueTogetherShareABatchAndAStuckSecondHalfHoldsUpNoOther) {
    CycleScheduler scheduler(300);
    constexpr size_t kGroups = 12;
    std::vector<std::unique_ptr<SplitGroup>> groups;
    std::vector<std::unique_ptr<ScheduledCycle>> cycles;
    const int batchesBefore = g_batchesStarted;
    for (size_t i = 0; i < kGroups; ++i) {
        groups.push_back(std::make_unique<SplitGroup>());
        groups.back()->stuckAtCycle = i == 0 ? 3 : 0;
        cycles.push_back(std::make_unique<ScheduledCycle>());
        ASSERT_TRUE(cycles.back()->Start(groups.back().get(), scheduler));
    }
    SplitGroup& hung = *groups[0];
    ASSERT_TRUE(WaitFor([&] { return hung.stuck.load(); }));
    int cyclesSoFar = 0;
    for (const auto& group : groups) cyclesSoFar += group->cycles;
    EXPECT_LE((g_batchesStarted - batchesBefore) * 3, cyclesSoFar)
        << "cycles due together share their batch";
    std::vector<int> before;
    for (const auto& group : groups) before.push_back(group->cycles);
    EXPECT_TRUE(WaitFor(
        [&] {
            for (size_t i = 1; i < kGroups; ++i)
                if (groups[i]->cycles < before[i] + 3) return false;
            return true;
        },
        3000))
        << "the others go on at their rate";
    hung.stuck = false;
    for (auto& cycle : cycles) EXPECT_TRUE(cycle->Stop());
    for (const auto& group : groups) {
        EXPECT_FALSE(group->early);
        EXPECT_FALSE(group->overlapped);
        EXPECT_FALSE(group->unstarted) << "a second half before its batch started";
    }
}

// The group is freed right after Stop: Stop must not come back while its cycle runs.
TEST(CycleScheduler, StopWaitsForTheRunningCycle) {
    CycleScheduler scheduler;
    FakeGroup group;
    group.rate = 0;
    group.workMs = 300;
    ScheduledCycle cycle;
    ASSERT_TRUE(cycle.Start(&group, scheduler));
    ASSERT_TRUE(WaitFor([&] { return group.running.load(); }));
    EXPECT_TRUE(cycle.Stop());
    EXPECT_FALSE(group.running) << "Stop came back under a running cycle";
    const int cycles = group.cycles;
    Sleep(300);
    EXPECT_EQ(cycles, group.cycles.load()) << "no cycle after Stop";
    EXPECT_FALSE(group.destroyedByWorker);
}

TEST(CycleScheduler, AStopThatGivesUpLeavesTheCleanUpToTheWorker) {
    CycleScheduler scheduler;
    FakeGroup group;
    group.rate = 0;
    group.stuck = true;
    ScheduledCycle cycle;
    ASSERT_TRUE(cycle.Start(&group, scheduler));
    ASSERT_TRUE(WaitFor([&] { return group.cycles > 0; }));
    EXPECT_FALSE(cycle.Stop(300)) << "stop gives up on a stuck cycle";
    EXPECT_FALSE(group.destroyedByWorker);
    group.stuck = false;  // the driver call returns at last
    EXPECT_TRUE(WaitFor([&] { return group.destroyedByWorker.load(); }))
        << "the worker runs the clean-up when the cycle ends";
    EXPECT_EQ(1, group.cycles.load());
}

// The server's limit of groups, all active: they must not need a thread each.
TEST(CycleScheduler, TwoThousandGroupsOnAFewThreads) {
    CycleScheduler scheduler;
    constexpr size_t kGroups = 2000;
    std::vector<std::unique_ptr<FakeGroup>> groups(kGroups);
    std::vector<std::unique_ptr<ScheduledCycle>> cycles(kGroups);
    for (size_t i = 0; i < kGroups; ++i) {
        groups[i] = std::make_unique<FakeGroup>();
        groups[i]->rate = 250 + static_cast<DWORD>(i % 7) * 50;
        cycles[i] = std::make_unique<ScheduledCycle>();
        ASSERT_TRUE(cycles[i]->Start(groups[i].get(), scheduler));
    }
    EXPECT_TRUE(WaitFor(
        [&] {
            for (const auto& group : groups)
                if (group->cycles < 2) return false;
            return true;
        },
        10000))
        << "every group has its cycles";
    EXPECT_LE(scheduler.Workers(), 8u);
    for (auto& cycle : cycles) EXPECT_TRUE(cycle->Stop());
}

}  // namespace
