// The scan thread: starting and stopping drivers with the server objects, the scan period,
// the time a stop takes, concurrent requests, and drivers reloaded while it runs. Timing is
// checked with generous bounds only.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "probe_driver_files.h"
#include "scan_thread.h"

namespace {

TEST(ScanPeriod, IsLoweredToTheFastestRateButNeverBelowTheMinimumNorRaised) {
    std::atomic<DWORD> period{kScanPeriodNone};
    LowerScanPeriod(period, 1000);
    EXPECT_EQ(1000u, period.load());
    LowerScanPeriod(period, 500);
    EXPECT_EQ(500u, period.load());
    LowerScanPeriod(period, 2000);
    EXPECT_EQ(500u, period.load());
    LowerScanPeriod(period, 100);
    EXPECT_EQ(250u, period.load());
    LowerScanPeriod(period, 0);
    EXPECT_EQ(250u, period.load());
}

class Scan : public testing::Test {
  protected:
    void SetUp() override {
        a_ = InstallProbe(dir_.File("a.dll"), "branch=Dev\n");
        b_ = InstallProbe(dir_.File("b.dll"), "branch=Dev\n");
        WriteTextFile(dir_.File("Drivers.cfg"), a_ + "|A\n" + b_ + "|B\n");
        drivers_.LoadFrom(dir_.File("Drivers.cfg"));
    }
    void TearDown() override {
        engine_.StopNow();
        drivers_.Unload();
    }
    size_t Calls(const std::string& dll, const char* entry) {
        return CountCalls(ReadProbeLog(dll), entry);
    }

    ScratchDirectory dir_;
    DriverRegistry drivers_;
    std::atomic<DWORD> period_{kScanPeriodNone};
    ScanEngine engine_{drivers_, period_};
    std::string a_, b_;
};

TEST_F(Scan, WithoutAPeriodDriversAreStartedAndStoppedButNeverUpdated) {
    engine_.RequestStart();
    EXPECT_TRUE(engine_.Running());
    Sleep(400);
    engine_.RequestStop();
    EXPECT_FALSE(engine_.Running());
    for (const std::string& dll : {a_, b_}) {
        EXPECT_EQ(1u, Calls(dll, "DLLStart"));
        EXPECT_EQ(0u, Calls(dll, "DLLUpdate"));
        EXPECT_EQ(1u, Calls(dll, "DLLStop"));
    }
}

TEST_F(Scan, OnlyTheLastServerObjectStopsIt) {
    engine_.RequestStart();
    engine_.RequestStart();
    engine_.RequestStop();
    EXPECT_TRUE(engine_.Running());
    EXPECT_EQ(1, engine_.ServerObjects());
    engine_.RequestStop();
    EXPECT_FALSE(engine_.Running());
    engine_.RequestStop();  // an extra release changes nothing
    EXPECT_EQ(0, engine_.ServerObjects());
    EXPECT_EQ(1u, Calls(a_, "DLLStart"));
    // A new server object after a completed stop starts a new thread.
    engine_.RequestStart();
    engine_.RequestStop();
    EXPECT_EQ(2u, Calls(a_, "DLLStart"));
    EXPECT_EQ(2u, Calls(a_, "DLLStop"));
}

TEST_F(Scan, UpdatesEveryDriverOncePerPeriod) {
    LowerScanPeriod(period_, 100);  // becomes 250 ms
    engine_.RequestStart();
    Sleep(1300);
    engine_.RequestStop();
    for (const std::string& dll : {a_, b_}) {
        const size_t updates = Calls(dll, "DLLUpdate");
        EXPECT_GE(updates, 2u);
        EXPECT_LE(updates, 6u);
    }
}

// Between passes the thread sleeps: a driver loaded meanwhile and a lowered period are seen
// at once, not at the next pass.
TEST_F(Scan, NewDriversAndALowerPeriodWakeTheThread) {
    engine_.RequestStart();
    Sleep(300);
    const std::string late = InstallProbe(dir_.File("late.dll"), "");
    WriteTextFile(dir_.File("late.cfg"), late + "|Late\n");
    drivers_.LoadFrom(dir_.File("late.cfg"));
    for (int i = 0; i < 100 && Calls(late, "DLLStart") == 0; ++i) Sleep(10);
    EXPECT_EQ(1u, Calls(late, "DLLStart")) << "started within a second of its loading";

    period_ = 600000;  // a pass every ten minutes...
    engine_.Wake();
    Sleep(300);
    EXPECT_EQ(0u, Calls(a_, "DLLUpdate"));
    LowerScanPeriod(period_, 250);  // ...then every 250 ms
    engine_.Wake();
    Sleep(1000);
    EXPECT_GE(Calls(a_, "DLLUpdate"), 2u);
    engine_.RequestStop();
}

TEST_F(Scan, StopRequestWaitsForARunningPassOnly) {
    const std::string slow = InstallProbe(dir_.File("slow.dll"), "update_delay_ms=400\n");
    WriteTextFile(dir_.File("more.cfg"), slow + "|Slow\n");
    drivers_.LoadFrom(dir_.File("more.cfg"));
    LowerScanPeriod(period_, 250);
    engine_.RequestStart();
    Sleep(350);  // a pass with the slow driver is under way
    const DWORD before = GetTickCount();
    engine_.RequestStop();
    const DWORD took = GetTickCount() - before;
    EXPECT_LT(took, 5000u);
    auto log = ReadProbeLog(slow);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("DLLStop", log.back().entry) << "nothing runs after the stop";
    EXPECT_FALSE(log.back().entering);
}

TEST_F(Scan, ConcurrentRequestsLeaveOneThreadOrNone) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                engine_.RequestStart();
                if (i % 3 == 0) Sleep(1);
                engine_.RequestStop();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_FALSE(engine_.Running());
    EXPECT_EQ(0, engine_.ServerObjects());
    // Starts and stops alternate: never two scan threads at once.
    int started = 0;
    for (const auto& call : ReadProbeLog(a_)) {
        if (!call.entering) continue;
        if (call.entry == "DLLStart") {
            EXPECT_EQ(0, started++);
        }
        if (call.entry == "DLLStop") {
            EXPECT_EQ(1, started--);
        }
    }
    EXPECT_EQ(0, started);
}

TEST_F(Scan, DriversLoadedWhileScanningAreStartedAndUnloadDoesNotWaitForIt) {
    engine_.RequestStart();
    Sleep(50);
    const DWORD before = GetTickCount();
    drivers_.Unload();
    EXPECT_LT(GetTickCount() - before, 5000u) << "the scan thread holds no driver between ticks";
    drivers_.LoadFrom(dir_.File("Drivers.cfg"));
    Sleep(200);
    engine_.RequestStop();
    // An unload calls no DLLStop; the freshly loaded DLL is started and stopped again.
    EXPECT_EQ(2u, Calls(a_, "DLLStart"));
    EXPECT_EQ(1u, Calls(a_, "DLLStop"));
}

// A driver whose update never returns holds up only itself: the other driver keeps its
// rate, the hung one is skipped and counts as unresponsive, and a stop still ends.
TEST(ScanHang, AHungDriverIsSkippedAndTheOthersKeepTheirRate) {
    ScratchDirectory dir;
    const std::string good = InstallProbe(dir.File("good.dll"), "branch=Dev\n");
    const std::string hung = InstallProbe(dir.File("hung.dll"), "branch=Dev\nhang=DLLUpdate\n");
    WriteTextFile(dir.File("Drivers.cfg"), hung + "|Hung\n" + good + "|Good\n");
    DriverRegistry drivers;
    drivers.LoadFrom(dir.File("Drivers.cfg"));
    std::atomic<DWORD> period{250};
    {
        ScanEngine engine(drivers, period);
        engine.RequestStart();
        Sleep(3000);
        const size_t early = CountCalls(ReadProbeLog(good), "DLLUpdate");
        EXPECT_GE(early, 4u) << "the good driver's passes go on beside the hung update";
        EXPECT_EQ(1u, CountCalls(ReadProbeLog(hung), "DLLUpdate")) << "never a second one";
        Sleep(CDriver::kDriverLockLimitMs + 1500);
        EXPECT_TRUE(drivers.Snapshot()->drivers[0]->IsUnresponsive());
        EXPECT_FALSE(drivers.Snapshot()->drivers[1]->IsUnresponsive());
        EXPECT_GE(CountCalls(ReadProbeLog(good), "DLLUpdate"), early + 20);
        const ULONGLONG stopping = GetTickCount64();
        engine.StopNow();
        EXPECT_LT(GetTickCount64() - stopping, 3 * CDriver::kDriverLockLimitMs + 5000ull);
        EXPECT_EQ(1u, CountCalls(ReadProbeLog(good), "DLLStop"));
    }
    drivers.Unload(100);  // the hung update keeps its driver; it is left behind
}

}  // namespace
