// The groups' process mutex: re-entrant for its owner, exclusive between threads, time limits
// that give up without owning, and both-or-neither for the update cycle.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <algorithm>
#include <thread>
#include <vector>

#include "sync.h"

namespace {

TEST(ProcessMutex, ItsOwnerTakesItAgainAndOthersWaitUntilTheLastRelease) {
    ProcessMutex m;
    ASSERT_TRUE(m.Acquire());
    ASSERT_TRUE(m.Acquire(0)) << "re-entrant, as a device read inside GetData needs";
    std::atomic<bool> got{false};
    std::thread other([&] {
        got = m.Acquire();
        m.Release();
    });
    m.Release();
    Sleep(100);
    EXPECT_FALSE(got) << "still held once";
    m.Release();
    other.join();
    EXPECT_TRUE(got);
}

TEST(ProcessMutex, ATimedWaitGivesUpWithoutOwning) {
    ProcessMutex m;
    ASSERT_TRUE(m.Acquire());
    bool got = true;
    DWORD waited = 0;
    std::thread other([&] {
        const DWORD start = GetTickCount();
        got = m.Acquire(200);
        waited = GetTickCount() - start;
    });
    other.join();
    EXPECT_FALSE(got);
    EXPECT_GE(waited, 150u);
    m.Release();
    std::thread later([&] {
        got = m.Acquire(0);
        if (got) m.Release();
    });
    later.join();
    EXPECT_TRUE(got) << "a failed wait left nothing behind";
}

TEST(ProcessMutex, BothOrNeither) {
    ProcessMutex cycle, items;
    ASSERT_TRUE(items.Acquire());
    bool both = true;
    std::thread cycleThread([&] { both = AcquireBoth(cycle, items, 100); });
    cycleThread.join();
    EXPECT_FALSE(both);
    bool cycleFree = false;
    std::thread probe([&] {
        cycleFree = cycle.Acquire(0);
        if (cycleFree) cycle.Release();
    });
    probe.join();
    EXPECT_TRUE(cycleFree) << "the first one is given back when the second is not had";
    items.Release();
    ASSERT_TRUE(AcquireBoth(cycle, items, 100));
    items.Release();
    cycle.Release();
}

TEST(ProcessMutex, ManyThreadsNeverOverlap) {
    ProcessMutex m;
    int inside = 0, most = 0;
    long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ProcessMutexLock lock(m);
                most = std::max(most, ++inside);
                ++total;
                --inside;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, most);
    EXPECT_EQ(80000, total);
}

}  // namespace
