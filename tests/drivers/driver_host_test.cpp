// The driver host: the list file, loading and refusing DLLs, every host-side operation with
// its lock, start counting, the object-record copy rules, and exceptions stopped at the
// driver boundary.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ansi_text.h"
#include "driver_list.h"
#include "probe_driver_files.h"

namespace {

const wchar_t* kTreeText =
    L"root=Корень\n"
    L"branch=Dev\n"
    L"branch=Dev.Folder\n"
    L"tag=Dev.Folder.Speed:R8:12.5\n"
    L"tag=Dev.Name:BSTR:Насос:ro\n"
    L"subtag=Dev.Name.Units:BSTR:об/мин\n"
    L"tag=Dev.Counter:I4:7\n";

// The probe reads its configuration in the system code page.
const std::string kTree = WideToAnsi(kTreeText);

class DriverHost : public testing::Test {
  protected:
    void TearDown() override { g_drivers.Unload(); }

    std::string Probe(const std::string& name, const std::string& config = kTree,
                      const std::string& built = "probe_driver.dll") {
        return InstallProbe(dir_.File(name), config, built);
    }
    void LoadList(const std::string& text) {
        WriteTextFile(dir_.File("Drivers.cfg"), text);
        EXPECT_EQ(0, g_drivers.LoadFrom(dir_.File("Drivers.cfg")));
    }
    std::shared_ptr<CDriver> Only() {
        DriverSnapshot lists = g_drivers.Snapshot();
        EXPECT_EQ(1u, lists->drivers.size());
        return lists->drivers.empty() ? nullptr : lists->drivers[0];
    }

    ScratchDirectory dir_;
};

TEST(DriverListLine, SplitsAtTheFirstBarAndTrimsNothing) {
    std::string dll, display;
    ASSERT_TRUE(ParseDriverLine("a.dll|Name", dll, display));
    EXPECT_EQ("a.dll", dll);
    EXPECT_EQ("Name", display);
    ASSERT_TRUE(ParseDriverLine("a.dll", dll, display));
    EXPECT_EQ("a.dll", dll);
    EXPECT_EQ("", display);
    ASSERT_TRUE(ParseDriverLine(" a.dll | Name ", dll, display));
    EXPECT_EQ(" a.dll ", dll);
    EXPECT_EQ(" Name ", display);
    ASSERT_TRUE(ParseDriverLine("a|b|c", dll, display));
    EXPECT_EQ("a", dll);
    EXPECT_EQ("b|c", display);
    EXPECT_FALSE(ParseDriverLine(";a.dll|Name", dll, display));
    ASSERT_TRUE(ParseDriverLine("", dll, display));
    EXPECT_EQ("", dll);
}

TEST_F(DriverHost, TheServerReadsTheListAboveItsDirectory) {
    // The build tree's list names the drivers we ship by relative names, resolved in bin/.
    EXPECT_EQ(0, LoadDrivers());
    DriverSnapshot lists = g_drivers.Snapshot();
    ASSERT_EQ(2u, lists->drivers.size());
    EXPECT_EQ("Simulator", lists->driverNames[0]);
    EXPECT_EQ("Modbus", lists->driverNames[1]);
    char current[MAX_PATH * 2];
    GetCurrentDirectoryA(sizeof(current), current);
    EXPECT_EQ(0, lstrcmpiA(ShortPathName(current).c_str(), ExecutableDirectory().c_str()));
}

TEST_F(DriverHost, MissingOrEmptyListLoadsNothing) {
    EXPECT_EQ(0, g_drivers.LoadFrom(dir_.File("no such file.cfg")));
    EXPECT_TRUE(g_drivers.Snapshot()->drivers.empty());
    LoadList("");
    EXPECT_TRUE(g_drivers.Snapshot()->drivers.empty());
}

TEST_F(DriverHost, LoadsInFileOrderSkippingWhatDoesNotLoad) {
    const std::string a = Probe("a.dll"), b = Probe("b.dll");
    const std::string missingExport = Probe("noedit.dll", kTree, "probe_driver_noedit.dll");
    const std::string longName(300, 'x');
    LoadList("; comment line\r\n" + a + "|First\r\n\r\n" + dir_.File("absent.dll") + "|Absent\r\n" +
             missingExport + "|Refused\r\n" + longName + ".dll|Long\r\n" + b + "|" + longName +
             "\r\n" + a + "\n" + b + "|First");
    DriverSnapshot lists = g_drivers.Snapshot();
    ASSERT_EQ(4u, lists->drivers.size());
    ASSERT_EQ(lists->drivers.size(), lists->driverNames.size());
    EXPECT_EQ("First", lists->driverNames[0]);
    EXPECT_EQ(longName, lists->driverNames[1]);
    EXPECT_EQ("", lists->driverNames[2]);
    EXPECT_EQ("First", lists->driverNames[3]);
    EXPECT_EQ(lists->drivers[0], lists->Find("First")) << "the first match wins";
    EXPECT_EQ(nullptr, lists->Find("first")) << "names are case-sensitive";
    EXPECT_EQ(lists->drivers[0]->Module(), lists->drivers[2]->Module()) << "same DLL twice";
    EXPECT_EQ(nullptr, GetModuleHandleA(missingExport.c_str()))
        << "a DLL lacking a mandatory export is released again";
}

TEST_F(DriverHost, LoadAppendsToTheDriversAlreadyLoaded) {
    LoadList(Probe("a.dll") + "|A");
    LoadList(Probe("b.dll") + "|B");
    EXPECT_EQ((std::vector<std::string>{"A", "B"}), g_drivers.Snapshot()->driverNames);
}

TEST_F(DriverHost, NamesInTheSystemCodePage) {
    // The tests run with the Russian ANSI code page (1251).
    ASSERT_EQ(1251u, GetACP());
    const std::string dll = dir_.File(WideToAnsi(L"драйвер.dll"));
    Probe(WideToAnsi(L"драйвер.dll"));
    LoadList(dll + "|" + WideToAnsi(L"Котельная"));
    auto driver = Only();
    ASSERT_TRUE(driver);
    EXPECT_EQ(WideToAnsi(L"Котельная"), g_drivers.Snapshot()->driverNames[0]);
    EXPECT_FALSE(driver->StreamName().empty());
    CObjectInfo root;
    driver->GetObjectInfo(0, root);
    EXPECT_EQ(WideToAnsi(L"Корень"), root.name);
}

TEST_F(DriverHost, EnumeratesAndResolvesNamesAndPaths) {
    LoadList(Probe("a.dll") + "|A");
    auto driver = Only();
    std::vector<std::string> list{"stale"};
    driver->EnumChildren(list, 0);
    EXPECT_EQ((std::vector<std::string>{"Dev"}), list);
    const DWORD dev = driver->GetObjectID(0, "Dev");
    ASSERT_NE(0u, dev);
    driver->EnumChildren(list, dev);
    EXPECT_EQ((std::vector<std::string>{"Folder"}), list);
    driver->EnumTags(list, dev);
    EXPECT_EQ((std::vector<std::string>{"Name", "Counter"}), list);
    const DWORD name = driver->GetObjectID(dev, "Name");
    driver->EnumTags(list, name);
    EXPECT_EQ((std::vector<std::string>{"Units"}), list) << "child tags of a tag";
    driver->EnumTags(list, driver->GetObjectID(0, "Dev.Folder"));
    EXPECT_EQ((std::vector<std::string>{"Speed"}), list);

    const DWORD speed = driver->GetObjectID(0, "Dev.Folder.Speed");
    EXPECT_NE(0u, speed);
    EXPECT_EQ(speed, driver->GetObjectID(0, ".Dev.Folder.Speed"));
    EXPECT_EQ(speed, driver->GetObjectIDFromPath({"Dev", "Folder", "Speed"}));
    EXPECT_EQ(0u, driver->GetObjectIDFromPath({}));
    EXPECT_EQ(0u, driver->GetObjectID(0, "Dev.Nothing"));
    auto log = ReadProbeLog(dir_.File("a.dll"));
    bool sawDotted = false;
    for (const auto& c : log) sawDotted |= c.entering && c.args == "0,.Dev.Folder.Speed";
    EXPECT_TRUE(sawDotted) << "GetObjectIDFromPath puts a '.' before every name";
}

TEST_F(DriverHost, ProbeMisbehavioursForLaterTests) {
    LoadList(Probe("lost.dll", kTree + "unresolvable=1\n") + "|Lost\n" +
             Probe("loop.dll", kTree + "cyclic=1\n") + "|Loop");
    DriverSnapshot lists = g_drivers.Snapshot();
    EXPECT_EQ(0u, lists->drivers[0]->GetObjectID(0, "Dev"));
    EXPECT_EQ(0u, lists->drivers[0]->GetObjectID(0, "Dev.Folder.Speed"));
    const DWORD dev = lists->drivers[1]->GetObjectID(0, "Dev");
    std::vector<std::string> children;
    lists->drivers[1]->EnumChildren(children, dev);
    EXPECT_EQ((std::vector<std::string>{"Folder", "Back"}), children);
    EXPECT_EQ(dev, lists->drivers[1]->GetObjectID(dev, "Back")) << "a child that is its parent";
}

TEST_F(DriverHost, ObjectRecordsFollowTheCopyRules) {
    LoadList(Probe("a.dll") + "|A");
    auto driver = Only();
    CObjectInfo tag;
    driver->GetObjectInfo(driver->GetObjectID(0, "Dev.Name"), tag);
    EXPECT_EQ(WideToAnsi(L"Насос"), std::string(WideToAnsi(V_BSTR(tag.value.Get()))));
    EXPECT_EQ(VT_BSTR, tag.value.Type());
    EXPECT_TRUE(tag.isTag);
    EXPECT_TRUE(tag.readOnly);
    EXPECT_TRUE(tag.visible);
    EXPECT_EQ(0xC0, tag.quality);
    EXPECT_EQ("Name", tag.name);
    EXPECT_EQ(2, tag.image);

    CObjectInfo branch;
    branch.value.Put()->vt = VT_I4;  // left from before: must not survive
    driver->GetObjectInfo(driver->GetObjectID(0, "Dev"), branch);
    EXPECT_FALSE(branch.isTag);
    EXPECT_EQ(VT_EMPTY, branch.value.Type());
    EXPECT_EQ("Dev", branch.name);

    // What a driver leaves untouched reads as an invisible non-tag.
    LoadList(Probe("b.dll", kTree + "untouched_info=1\n") + "|B");
    auto untouched = g_drivers.Snapshot()->drivers[1];
    CObjectInfo nothing;
    untouched->GetObjectInfo(untouched->GetObjectID(0, "Dev"), nothing);
    EXPECT_FALSE(nothing.visible);
    EXPECT_FALSE(nothing.isTag);
    EXPECT_EQ("", nothing.name);
}

TEST(ObjectInfoCopy, FreesDriverStringsAndMarksUncopyableValues) {
    DLLOBJECTINFO raw{};
    raw.name = static_cast<char*>(CoTaskMemAlloc(4));
    strcpy(raw.name, "Tag");
    raw.description = static_cast<char*>(CoTaskMemAlloc(5));
    strcpy(raw.description, "Desc");
    raw.isTag = TRUE;
    raw.clients = 3;
    V_VT(&raw.value) = 0x0FFF;  // no such type: VariantCopy refuses it
    CObjectInfo info;
    info.TakeFrom(raw);
    EXPECT_EQ(nullptr, raw.name);
    EXPECT_EQ(nullptr, raw.description);
    EXPECT_EQ("Tag", info.name);
    EXPECT_EQ("Desc", info.description);
    EXPECT_EQ(3u, info.clients);
    ASSERT_EQ(VT_ERROR, info.value.Type());
    EXPECT_TRUE(FAILED(V_ERROR(info.value.Get())));
}

// Both kinds of driver end with the same counts; only one that cannot take the count alone
// sees its whole record, value included, written back, and then under its own lock.
TEST_F(DriverHost, ClientCountsChangeAloneWhereTheDriverCanTakeThem) {
    const std::string current = Probe("a.dll"),
                      legacy = Probe("b.dll", kTree, "probe_driver_legacy.dll");
    LoadList(current + "|A\r\n" + legacy + "|B\r\n");
    DriverSnapshot lists = g_drivers.Snapshot();
    ASSERT_EQ(2u, lists->drivers.size());
    for (size_t i = 0; i < 2; ++i) {
        CDriver& driver = *lists->drivers[i];
        EXPECT_EQ(i == 0, driver.CountsClientsItself());
        const DWORD counter = driver.GetObjectID(0, "Dev.Counter");
        driver.ChangeClientCount(counter, 5);
        driver.ChangeClientCount(counter, -2);
        driver.ChangeClientCount(driver.GetObjectID(0, "Dev"), 1);  // a folder: nothing
        CObjectInfo info;
        driver.GetObjectInfo(counter, info);
        EXPECT_EQ(3u, info.clients) << "driver " << i;
        driver.ChangeClientCount(counter, -10);
        driver.GetObjectInfo(counter, info);
        EXPECT_EQ(0u, info.clients) << "never below 0, driver " << i;
        EXPECT_EQ(7, V_I4(info.value.Get())) << "the value stays, driver " << i;
    }
    auto log = ReadProbeLog(current);
    EXPECT_EQ(0u, CountCalls(log, "DLLSetObjectInfo"));
    EXPECT_EQ(4u, CountCalls(log, "DLLChangeClientCount"));
    EXPECT_EQ(0ul, LastClientCount(log, "Counter"));
    log = ReadProbeLog(legacy);
    EXPECT_EQ(3u, CountCalls(log, "DLLSetObjectInfo")) << "the folder's record is not written";
    EXPECT_EQ(0ul, LastClientCount(log, "Counter"));
}

// A client's Write of many values: one DLLWriteValues where the driver takes them so, whole
// records for each value where it declines or lacks the entry point, nothing taken where it
// faults.
TEST_F(DriverHost, ManyValuesGoToTheDriverInOneCallOrRecordByRecord) {
    const std::string batch = Probe("a.dll", kTree + "write_values=1\nwrite_refused=Dev.Counter\n"),
                      declining = Probe("b.dll"),
                      legacy = Probe("c.dll", kTree, "probe_driver_legacy.dll"),
                      faulting = Probe("d.dll", kTree + "write_values=1\nfault=DLLWriteValues\n");
    LoadList(batch + "|A\n" + declining + "|B\n" + legacy + "|C\n" + faulting + "|D\n");
    DriverSnapshot lists = g_drivers.Snapshot();
    ASSERT_EQ(4u, lists->drivers.size());
    // Speed twice and Counter once; what each driver took, and then what its tags hold.
    auto write = [&](size_t d) {
        CDriver& driver = *lists->drivers[d];
        const DWORD speed = driver.GetObjectID(0, "Dev.Folder.Speed"),
                    counter = driver.GetObjectID(0, "Dev.Counter");
        std::vector<Variant> values(3);
        V_VT(values[0].Put()) = VT_R8;
        V_R8(values[0].Get()) = 30.5;
        V_VT(values[1].Put()) = VT_I4;
        V_I4(values[1].Get()) = 9;
        V_VT(values[2].Put()) = VT_R8;
        V_R8(values[2].Get()) = 31.5;
        // As a client's Write runs: inside one piece of the driver's work.
        DriverCall<std::vector<bool>> call = driver.Begin<std::vector<bool>>([&](CDriver& d) {
            return d.WriteValues({speed, counter, speed}, values);
        });
        EXPECT_TRUE(call.Wait(30000));
        return call.Result();
    };
    auto held = [&](size_t d) {
        CDriver& driver = *lists->drivers[d];
        CObjectInfo speed, counter;
        driver.GetObjectInfo(driver.GetObjectID(0, "Dev.Folder.Speed"), speed);
        driver.GetObjectInfo(driver.GetObjectID(0, "Dev.Counter"), counter);
        return std::make_pair(V_R8(speed.value.Get()), V_I4(counter.value.Get()));
    };
    EXPECT_EQ((std::vector<bool>{true, false, true}), write(0)) << "its refusal is its answer";
    EXPECT_EQ(std::make_pair(31.5, 7L), held(0)) << "the last value of a tag stays";
    auto log = ReadProbeLog(batch);
    EXPECT_EQ(1u, CountCalls(log, "DLLWriteValues"));
    EXPECT_EQ(0u, CountCalls(log, "DLLSetObjectInfo"));
    EXPECT_EQ(2u, CountCalls(log, "DLLGetObjectInfo")) << "only the test's own looks";
    for (size_t d : {1, 2}) {
        EXPECT_EQ((std::vector<bool>{true, true, true}), write(d)) << "driver " << d;
        EXPECT_EQ(std::make_pair(31.5, 9L), held(d)) << "driver " << d;
        log = ReadProbeLog(d == 1 ? declining : legacy);
        EXPECT_EQ(0u, CountCalls(log, "DLLWriteValues")) << "a decline is not even logged";
        EXPECT_EQ(3u, CountCalls(log, "DLLSetObjectInfo")) << "driver " << d;
    }
    EXPECT_EQ((std::vector<bool>{false, false, false}), write(3));
    EXPECT_TRUE(lists->drivers[3]->IsFaulted());
    EXPECT_EQ(0u, CountCalls(ReadProbeLog(faulting), "DLLSetObjectInfo")) << "no second try";
}

// The ranges a driver may give, good and bad, for tags beside kTree's.
const std::string kUnitsTree = kTree + WideToAnsi(L"eu=Dev.Folder.Speed:0:3000:об/мин\n") +
                               "eu=Dev.Counter:::pcs\n"
                               "tag=Dev.Reversed:R8:0\neu=Dev.Reversed:10:5\n"
                               "tag=Dev.Flat:R8:0\neu=Dev.Flat:5:5\n"
                               "tag=Dev.NotANumber:R8:0\neu=Dev.NotANumber:nan:1\n"
                               "tag=Dev.Endless:R8:0\neu=Dev.Endless:0:1e999:m\n";

TEST_F(DriverHost, EngineeringUnitsAreTakenOnlyAsARealSpanAndText) {
    LoadList(Probe("a.dll", kUnitsTree) + "|A");
    auto driver = Only();
    const DWORD speed = driver->GetObjectID(0, "Dev.Folder.Speed");
    const CDriver::TagFacts facts = driver->GetTagFacts(speed);
    EXPECT_TRUE(facts.isTag);
    EXPECT_TRUE(facts.hasRange);
    EXPECT_EQ(0.0, facts.euLow);
    EXPECT_EQ(3000.0, facts.euHigh);
    CDriver::EngineeringUnits eu = driver->GetEngineeringUnits(speed);
    EXPECT_TRUE(eu.hasRange);
    EXPECT_EQ(3000.0, eu.high);
    EXPECT_TRUE(eu.hasUnits);
    EXPECT_EQ(WideToAnsi(L"об/мин"), eu.units);

    eu = driver->GetEngineeringUnits(driver->GetObjectID(0, "Dev.Counter"));
    EXPECT_FALSE(eu.hasRange);
    EXPECT_EQ("pcs", eu.units) << "units without a range";
    EXPECT_FALSE(driver->GetTagFacts(driver->GetObjectID(0, "Dev.Counter")).hasRange);
    eu = driver->GetEngineeringUnits(driver->GetObjectID(0, "Dev.Name"));
    EXPECT_FALSE(eu.hasRange || eu.hasUnits) << "a tag the driver knows nothing of";
    eu = driver->GetEngineeringUnits(driver->GetObjectID(0, "Dev"));
    EXPECT_FALSE(eu.hasRange || eu.hasUnits) << "a folder";

    for (const char* bad : {"Dev.Reversed", "Dev.Flat", "Dev.NotANumber", "Dev.Endless"}) {
        const DWORD id = driver->GetObjectID(0, bad);
        EXPECT_FALSE(driver->GetTagFacts(id).hasRange) << bad;
        EXPECT_FALSE(driver->GetEngineeringUnits(id).hasRange) << bad;
    }
    eu = driver->GetEngineeringUnits(driver->GetObjectID(0, "Dev.Endless"));
    EXPECT_EQ("m", eu.units) << "a bad range leaves the units as they are";
    EXPECT_EQ(0u, driver->FaultCount());
}

// A driver written before the entry point: the same tree, no range and no units, and the
// server asks nothing it cannot answer.
TEST_F(DriverHost, ADriverWithoutEngineeringUnitsHasPlainTags) {
    const std::string legacy = Probe("b.dll", kUnitsTree, "probe_driver_legacy.dll");
    LoadList(legacy + "|B");
    auto driver = Only();
    EXPECT_EQ(nullptr, GetProcAddress(driver->Module(), "DLLGetEngineeringUnits"));
    const DWORD speed = driver->GetObjectID(0, "Dev.Folder.Speed");
    const CDriver::TagFacts facts = driver->GetTagFacts(speed);
    EXPECT_TRUE(facts.isTag);
    EXPECT_EQ(VT_R8, facts.type);
    EXPECT_FALSE(facts.hasRange);
    const CDriver::EngineeringUnits eu = driver->GetEngineeringUnits(speed);
    EXPECT_FALSE(eu.hasRange || eu.hasUnits);
    EXPECT_EQ(0u, CountCalls(ReadProbeLog(legacy), "DLLGetEngineeringUnits"));
}

TEST_F(DriverHost, AFaultOrNoAnswerInEngineeringUnitsGivesNone) {
    const std::string bad = Probe("bad.dll", kUnitsTree + "fault=DLLGetEngineeringUnits\n");
    const std::string flag = dir_.File("hang.flag");
    const std::string slow =
        Probe("slow.dll", kUnitsTree + "hang=DLLGetEngineeringUnits\nhang_while=" + flag + "\n");
    LoadList(bad + "|Bad\n" + slow + "|Slow\n");
    DriverSnapshot lists = g_drivers.Snapshot();
    CDriver& faulty = *lists->drivers[0];
    const DWORD speed = faulty.GetObjectID(0, "Dev.Folder.Speed");
    const CDriver::TagFacts facts = faulty.GetTagFacts(speed);
    EXPECT_TRUE(facts.isTag) << "the record came before the fault";
    EXPECT_FALSE(facts.hasRange);
    EXPECT_TRUE(faulty.IsFaulted());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), faulty.FaultCode());
    const CDriver::EngineeringUnits none = faulty.GetEngineeringUnits(speed);
    EXPECT_FALSE(none.hasRange || none.hasUnits);
    EXPECT_EQ(1u, CountCalls(ReadProbeLog(bad), "DLLGetEngineeringUnits")) << "never again";

    CDriver& hung = *lists->drivers[1];
    WriteTextFile(flag, "");
    {
        CDriver::ScopedWaitLimit brief(300);
        const ULONGLONG start = GetTickCount64();
        const CDriver::EngineeringUnits late = hung.GetEngineeringUnits(speed);
        EXPECT_FALSE(late.hasRange || late.hasUnits);
        EXPECT_LT(GetTickCount64() - start, 3000u);
    }
    DeleteFileA(flag.c_str());
    EXPECT_TRUE(hung.GetEngineeringUnits(speed).hasRange) << "answers again once it returns";
    EXPECT_FALSE(hung.IsFaulted());
}

TEST_F(DriverHost, SetObjectInfoHandsValueAndClientsToTheDriver) {
    LoadList(Probe("a.dll") + "|A");
    auto driver = Only();
    const DWORD speed = driver->GetObjectID(0, "Dev.Folder.Speed");
    CObjectInfo info;
    driver->GetObjectInfo(speed, info);
    info.clients += 1;
    V_VT(info.value.Put()) = VT_R8;
    V_R8(info.value.Get()) = 99.5;
    driver->SetObjectInfo(speed, info);
    CObjectInfo back;
    driver->GetObjectInfo(speed, back);
    EXPECT_EQ(1u, back.clients);
    EXPECT_EQ(VT_R8, back.value.Type());
    EXPECT_EQ(99.5, V_R8(back.value.Get()));
    EXPECT_EQ(VT_R8, info.value.Type()) << "the server's own copy stays";
}

TEST_F(DriverHost, StartAndStopAreCountedAndShared) {
    const std::string dll = Probe("a.dll");
    LoadList(dll + "|A");
    auto driver = Only();
    EXPECT_EQ(0, driver->Stop(0)) << "an unmatched stop does nothing";
    EXPECT_EQ(0, driver->StartCount());
    EXPECT_EQ(1, driver->Start(0));
    EXPECT_EQ(0, driver->Start(0));
    EXPECT_EQ(2, driver->StartCount());
    EXPECT_EQ(0, driver->Stop(0));
    EXPECT_EQ(1, driver->Stop(0));
    EXPECT_EQ(0, driver->StartCount());
    auto log = ReadProbeLog(dll);
    EXPECT_EQ(1u, CountCalls(log, "DLLStart"));
    EXPECT_EQ(1u, CountCalls(log, "DLLStop"));
    EXPECT_EQ(1, driver->DefaultSettings());
    EXPECT_EQ(1u, CountCalls(ReadProbeLog(dll), "DLLDefaultSettings"));
}

TEST_F(DriverHost, LockedCallsNeverOverlapUnlockedOnesMay) {
    const std::string dll = Probe("a.dll", kTree + "call_delay_ms=20\n");
    LoadList(dll + "|A");
    auto driver = Only();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i) {
                switch ((t + i) % 5) {
                    case 0:
                        driver->Update(0);
                        break;
                    case 1:
                        driver->EditObject(0, nullptr);
                        break;
                    case 2:
                        driver->RemoveObject(12345);
                        break;
                    case 3:
                        driver->Start(0);
                        driver->Stop(0);
                        break;
                    default:
                        driver->DefaultSettings();
                }
                CObjectInfo info;
                driver->GetObjectInfo(0, info);
            }
        });
    }
    for (auto& t : threads) t.join();
    auto log = ReadProbeLog(dll);
    EXPECT_EQ(1, MaxOverlap(log, {"DLLUpdate", "DLLEditObject", "DLLRemoveObject", "DLLStart",
                                  "DLLStop", "DLLDefaultSettings"}));

    // Reads need not wait for each other; started together, two of them must meet inside the
    // driver at least once in a few tries (the machine may be too busy to make one try tell).
    int readsOverlap = MaxOverlap(log, {"DLLGetObjectInfo"});
    for (int round = 0; round < 20 && readsOverlap < 2; ++round) {
        std::atomic<int> ready{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < 4) std::this_thread::yield();
                CObjectInfo info;
                driver->GetObjectInfo(0, info);
            });
        }
        for (auto& t : readers) t.join();
        readsOverlap = MaxOverlap(ReadProbeLog(dll), {"DLLGetObjectInfo"});
    }
    EXPECT_GE(readsOverlap, 2);
}

TEST_F(DriverHost, ExceptionsStopAtTheDriverBoundary) {
    const std::string bad = Probe("bad.dll", kTree +
                                                 "throw=DLLGetObjectInfo,DLLUpdate,DLLEnumTags,"
                                                 "DLLGetObjectID,DLLStart,DLLSerialize\n");
    const std::string good = Probe("good.dll");
    LoadList(bad + "|Bad\n" + good + "|Good");
    DriverSnapshot lists = g_drivers.Snapshot();
    auto& faulty = lists->drivers[0];
    CObjectInfo info;
    faulty->GetObjectInfo(0, info);
    EXPECT_EQ(0, faulty->Update(0));
    std::vector<std::string> list{"stale"};
    faulty->EnumTags(list, 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(0u, faulty->GetObjectID(0, "Dev"));
    EXPECT_EQ(0, faulty->Start(0));
    EXPECT_EQ(1, faulty->StartCount());
#if defined(_WIN64)
    EXPECT_EQ(5u, faulty->FaultCount()) << "each exception fails its own call";
#else
    // GCC's 32-bit exceptions cannot unwind out of the DLL: the first throw ends in abort(),
    // which is contained as a fault and retires the driver.
    EXPECT_EQ(1u, faulty->FaultCount());
    EXPECT_TRUE(faulty->IsFaulted());
#endif
    // The lock was released on the way out: another locked call still gets through.
    std::atomic<bool> done{false};
    std::thread again([&] {
        faulty->Update(0);
        done = true;
    });
    again.join();
    EXPECT_TRUE(done);
    // The other driver is unaffected.
    EXPECT_NE(0u, lists->drivers[1]->GetObjectID(0, "Dev.Folder.Speed"));
    EXPECT_EQ(1, lists->drivers[1]->Update(0));
    EXPECT_EQ(0u, lists->drivers[1]->FaultCount());
}

// An access violation inside a driver, on whatever thread: the call returns its neutral
// result, the driver is marked faulted and never called again, a lock of ours around the
// call is free again, and the other drivers go on.
TEST_F(DriverHost, FaultsStopAtTheDriverBoundaryAndRetireTheDriver) {
    const std::string bad = Probe("bad.dll", kTree + "fault=DLLUpdate,DLLGetObjectID\n");
    const std::string good = Probe("good.dll");
    LoadList(bad + "|Bad\n" + good + "|Good");
    DriverSnapshot lists = g_drivers.Snapshot();
    auto& faulty = lists->drivers[0];
    faulty->Start(0);
    EXPECT_EQ(0u, faulty->GetObjectID(0, "Dev")) << "the main thread survives";
    EXPECT_TRUE(faulty->IsFaulted());
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), faulty->FaultCode());
    EXPECT_EQ(1u, faulty->FaultCount());

    // Nothing more reaches it: not its tree, not its lock-holding entry points.
    const size_t callsBefore = ReadProbeLog(bad).size();
    std::vector<std::string> list{"stale"};
    faulty->EnumChildren(list, 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(0, faulty->Update(0));
    EXPECT_EQ(callsBefore, ReadProbeLog(bad).size());
    CDriver::TagReading reading;
    faulty->ReadTag(1, reading);
    EXPECT_TRUE(reading.driverFailed);
    EXPECT_EQ(CDriver::kQualityDeviceFailure, reading.quality);
    EXPECT_NE(0u, reading.timestamp.dwHighDateTime);

    EXPECT_NE(0u, lists->drivers[1]->GetObjectID(0, "Dev.Folder.Speed"));
    EXPECT_EQ(0u, lists->drivers[1]->FaultCount());
}

TEST_F(DriverHost, AFaultUnderTheDriversLockOnAnotherThreadReleasesTheLock) {
    const std::string bad = Probe("bad.dll", kTree + "fault=DLLUpdate\n");
    LoadList(bad + "|Bad\n");
    std::shared_ptr<CDriver> faulty = Only();
    std::thread scan([&] { EXPECT_EQ(0, faulty->Update(0)); });
    scan.join();
    EXPECT_TRUE(faulty->IsFaulted());
    // The lock was given back on the way out: a locked call on this thread gets through,
    // and the start count still moves (without calling the driver).
    std::atomic<bool> done{false};
    std::thread again([&] {
        faulty->Start(0);
        faulty->Stop(0);
        done = true;
    });
    again.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(0, faulty->StartCount());
    EXPECT_EQ(0u, CountCalls(ReadProbeLog(bad), "DLLStart"));
}

TEST_F(DriverHost, AReloadedDriverStartsWithoutItsFault) {
    const std::string bad = Probe("bad.dll", kTree + "fault=DLLGetObjectID\n");
    LoadList(bad + "|Bad\n");
    Only()->GetObjectID(0, "Dev");
    ASSERT_TRUE(Only()->IsFaulted());
    g_drivers.Unload();
    InstallProbe(bad, kTree);
    LoadList(bad + "|Bad\n");
    EXPECT_FALSE(Only()->IsFaulted());
    EXPECT_NE(0u, Only()->GetObjectID(0, "Dev"));
}

// A driver whose DLLUpdate never returns keeps its lock: a caller that needs the lock waits
// at most the limit, gets the neutral result, and the driver's tags read as communication
// failure until an update of it returns.
TEST_F(DriverHost, AHungEntryPointHoldsUpOthersAtMostTheLockLimit) {
    const std::string hung = Probe("hung.dll", kTree + "hang=DLLUpdate\n");
    const std::string good = Probe("good.dll");
    LoadList(hung + "|Hung\n" + good + "|Good\n");
    std::shared_ptr<CDriver> stuck = g_drivers.Snapshot()->drivers[0];
    std::shared_ptr<CDriver> fine = g_drivers.Snapshot()->drivers[1];
    std::thread([stuck] { stuck->Update(0); }).detach();
    for (int i = 0; i < 500 && !stuck->IsUpdating(); ++i) Sleep(10);
    ASSERT_TRUE(stuck->IsUpdating());

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(0, stuck->Update(0));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, CDriver::kDriverLockLimitMs - 500ull);
    EXPECT_LT(waited, 3ull * CDriver::kDriverLockLimitMs);
    EXPECT_TRUE(stuck->IsUnresponsive());
    CDriver::TagReading reading;
    stuck->ReadTag(stuck->GetObjectID(0, "Dev.Folder.Speed"), reading);
    EXPECT_TRUE(reading.driverFailed);
    EXPECT_EQ(CDriver::kQualityCommFailure, reading.quality);

    EXPECT_EQ(1, fine->Update(0)) << "other drivers answer at once";
    EXPECT_FALSE(fine->IsUnresponsive());
    stuck.reset();
    fine.reset();
    g_drivers.Unload(100);  // the hung update keeps its driver; it is left behind
}

}  // namespace
