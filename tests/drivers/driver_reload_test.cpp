// Reloading the drivers while other threads enumerate them and call into them: no reader
// sees a half-changed list, no call runs on a released DLL, and after an unload every DLL is
// gone, so the next load finds the drivers in their freshly loaded state.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "driver_list.h"
#include "probe_driver_files.h"

namespace {

TEST(DriverReload, ReadersAndCallsSurviveRepeatedUnloadAndLoad) {
    ScratchDirectory dir;
    const std::string config =
        "branch=Dev\nbranch=Dev.Folder\ntag=Dev.Folder.Speed:R8:1.5\ncall_delay_ms=1\n";
    const std::string a = InstallProbe(dir.File("a.dll"), config);
    const std::string b = InstallProbe(dir.File("b.dll"), config);
    const std::string list = dir.File("Drivers.cfg");
    WriteTextFile(list, a + "|A\r\n" + b + "|B\r\n");
    g_drivers.LoadFrom(list);

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, torn{0}, unresolved{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                DriverSnapshot lists = g_drivers.Snapshot();
                const bool whole = lists->drivers.size() == lists->driverNames.size() &&
                                   (lists->drivers.empty() ||
                                    lists->driverNames == std::vector<std::string>{"A", "B"});
                if (!whole) ++torn;
                for (const auto& driver : lists->drivers) {
                    if (driver->GetObjectID(0, "Dev.Folder.Speed") == 0) ++unresolved;
                    CObjectInfo info;
                    driver->GetObjectInfo(0, info);
                    std::vector<std::string> children;
                    driver->EnumChildren(children, 0);
                    driver->Update(0);
                }
                ++reads;
            }
        });
    }
    for (int round = 0; round < 25; ++round) {
        Sleep(5);
        g_drivers.Unload();
        EXPECT_EQ(nullptr, GetModuleHandleA(a.c_str())) << "round " << round;
        EXPECT_EQ(nullptr, GetModuleHandleA(b.c_str())) << "round " << round;
        g_drivers.LoadFrom(list);
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(0, torn.load());
    EXPECT_EQ(0, unresolved.load());
    EXPECT_GT(reads.load(), 0);
    g_drivers.Unload();
}

TEST(DriverReload, UnloadReleasesTheDllsOnceTheLastUserIsDone) {
    ScratchDirectory dir;
    const std::string a = InstallProbe(dir.File("slow.dll"), "update_delay_ms=300\n");
    WriteTextFile(dir.File("Drivers.cfg"), a + "|Slow\n");
    g_drivers.LoadFrom(dir.File("Drivers.cfg"));
    std::thread user([driver = g_drivers.Snapshot()->drivers[0]] { driver->Update(0); });
    Sleep(50);
    g_drivers.Unload();  // waits for the running update
    EXPECT_EQ(nullptr, GetModuleHandleA(a.c_str()));
    user.join();
    auto log = ReadProbeLog(a);
    ASSERT_EQ(2u, log.size());
    EXPECT_FALSE(log[1].entering) << "the update finished before the DLL went";
}

}  // namespace
