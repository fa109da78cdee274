// The simulator driver: its demo tree, behaviours, writes, the stream format (including
// truncated and foreign streams), concurrent use, and the DLL through the driver host.
#include <windows.h>
#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ansi_text.h"
#include "driver_list.h"
#include "elapsed.h"
#include "probe_driver_files.h"
#include "sim_model.h"

namespace {

DWORD Path(const SimModel& m, const char* path) {
    return m.FindPath(path);
}

SimObjectView ViewOf(const SimModel& m, const char* path) {
    auto view = m.View(Path(m, path));
    EXPECT_TRUE(view.has_value()) << path;
    return view ? *view : SimObjectView{};
}

TEST(SimulatorModel, DemoTreeOffersEveryTypeAClientMeets) {
    SimModel m;
    m.BuildDemoTree();
    m.Update();
    std::set<VARTYPE> seen;
    std::vector<DWORD> pending{0};
    while (!pending.empty()) {
        DWORD id = pending.back();
        pending.pop_back();
        for (bool tags : {false, true})
            for (const std::string& name : m.Children(id, tags))
                pending.push_back(m.Find(id, name));
        auto view = m.View(id);
        ASSERT_TRUE(view);
        if (view->settings.kind == SimKind::Tag) {
            EXPECT_EQ(view->settings.type, view->value.vt) << view->settings.name;
            seen.insert(view->value.vt);
        }
        VariantClear(&view->value);
    }
    for (VARTYPE type : SimTypes()) EXPECT_TRUE(seen.count(type)) << SimTypeName(type);
    EXPECT_EQ((std::vector<std::string>{"Units", "High", "Low"}),
              m.Children(Path(m, "Boiler.Sensors.Temperature"), true))
        << "child tags of a tag";
}

TEST(SimulatorModel, BehavioursStayWithinTheirLimits) {
    SimModel m;
    m.BuildDemoTree();
    for (int i = 0; i < 20; ++i) {
        m.Update();
        SimObjectView t = ViewOf(m, "Boiler.Sensors.Temperature");
        EXPECT_GE(t.value.dblVal, 60.0);
        EXPECT_LE(t.value.dblVal, 90.0);
        SimObjectView p = ViewOf(m, "Boiler.Sensors.Pressure");
        EXPECT_GE(p.value.fltVal, 1.8f);
        EXPECT_LE(p.value.fltVal, 2.2f);
        SimObjectView d = ViewOf(m, "Line.Direction");
        EXPECT_GE(d.value.cVal, -100);
        EXPECT_LE(d.value.cVal, 100);
        EXPECT_EQ(0xC0, t.quality);
        Sleep(1);
    }
    SimObjectView cycles = ViewOf(m, "Boiler.Cycles");
    m.Update();
    SimObjectView next = ViewOf(m, "Boiler.Cycles");
    EXPECT_EQ(cycles.value.lVal + 1, next.value.lVal) << "a counter steps once per update";
    SimObjectView profile = ViewOf(m, "Line.Profile");
    LONG upper = -1;
    SafeArrayGetUBound(profile.value.parray, 1, &upper);
    EXPECT_EQ(7, upper);
    VariantClear(&profile.value);
}

// A client's percent deadband is a share of the range: only a value that sweeps between
// its limits has one.
TEST(SimulatorModel, OnlyNumbersThatMoveBetweenTheirLimitsHaveARange) {
    SimModel m;
    m.BuildDemoTree();
    const SimRange temperature = m.Range(Path(m, "Boiler.Sensors.Temperature"));
    EXPECT_TRUE(temperature.isTag && temperature.known);
    EXPECT_EQ(60.0, temperature.low);
    EXPECT_EQ(90.0, temperature.high);
    EXPECT_TRUE(m.Range(Path(m, "Boiler.Cycles")).known) << "a counter";
    EXPECT_EQ(-100.0, m.Range(Path(m, "Line.Direction")).low) << "a sine";
    for (const char* plain : {"Boiler.Control.Setpoint", "Boiler.Control.Alarm", "Line.Profile",
                              "Line.Clock", "Boiler.Control.Mode"}) {
        const SimRange range = m.Range(Path(m, plain));
        EXPECT_TRUE(range.isTag) << plain;
        EXPECT_FALSE(range.known) << plain;
    }
    EXPECT_FALSE(m.Range(Path(m, "Boiler.Sensors")).isTag);

    SimSettings flat = *m.Settings(Path(m, "Boiler.Sensors.Level"));
    flat.high = flat.low;
    ASSERT_TRUE(m.Edit(Path(m, "Boiler.Sensors.Level"), flat));
    EXPECT_FALSE(m.Range(Path(m, "Boiler.Sensors.Level")).known) << "limits that are no span";
}

TEST(SimulatorModel, UpdateStampsEveryTagAndOfflineDevicesReportNoConnection) {
    SimModel m;
    m.BuildDemoTree();
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    Sleep(20);
    m.Update();
    SimObjectView setpoint = ViewOf(m, "Boiler.Control.Setpoint");
    EXPECT_GT(CompareFileTime(&setpoint.timestamp, &before), 0);
    EXPECT_EQ(0xC0, setpoint.quality);
    EXPECT_EQ(0x08, ViewOf(m, "Reserve.Voltage").quality);
}

TEST(SimulatorModel, OnlyWritableConstantsAcceptWritesConvertedToTheirType) {
    SimModel m;
    m.BuildDemoTree();
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"81");
    EXPECT_TRUE(m.Write(Path(m, "Boiler.Control.Setpoint"), text));
    SimObjectView setpoint = ViewOf(m, "Boiler.Control.Setpoint");
    EXPECT_EQ(VT_R8, setpoint.value.vt);
    EXPECT_EQ(81.0, setpoint.value.dblVal);
    EXPECT_TRUE(setpoint.writable);
    EXPECT_FALSE(m.Write(Path(m, "Boiler.Sensors.Temperature"), text)) << "simulated";
    EXPECT_FALSE(m.Write(Path(m, "Boiler.Sensors.Temperature.Units"), text)) << "read-only";
    VariantClear(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"не число");
    EXPECT_FALSE(m.Write(Path(m, "Boiler.Control.Setpoint"), text));
    EXPECT_EQ(81.0, ViewOf(m, "Boiler.Control.Setpoint").value.dblVal);
    VariantClear(&text);
}

TEST(SimulatorModel, NamesAreUniquePerLevelAndHaveNoDots) {
    SimModel m;
    SimSettings device;
    device.kind = SimKind::Device;
    device.name = "Dev";
    const DWORD dev = m.Add(0, device);
    ASSERT_NE(0u, dev);
    EXPECT_EQ(0u, m.Add(0, device)) << "taken";
    SimSettings tag;
    tag.name = "A.B";
    EXPECT_EQ(0u, m.Add(dev, tag));
    tag.name = "";
    EXPECT_EQ(0u, m.Add(dev, tag));
    tag.name = "T";
    EXPECT_EQ(0u, m.Add(0, tag)) << "tags live inside devices";
    const DWORD t = m.Add(dev, tag);
    ASSERT_NE(0u, t);
    SimSettings folder;
    folder.kind = SimKind::Folder;
    folder.name = "F";
    EXPECT_EQ(0u, m.Add(t, folder)) << "no folders under a tag";
    EXPECT_EQ(t, m.FindPath(".Dev.T"));
    EXPECT_EQ(t, m.FindPath("Dev.T"));
    m.Remove(dev);
    EXPECT_EQ(0u, m.FindPath("Dev.T"));
}

TEST(SimulatorModel, StreamRoundTripsAndRejectsWhatItCannotRead) {
    SimModel m;
    m.BuildDemoTree();
    SimSettings s = *m.Settings(Path(m, "Boiler.Control.Mode"));
    s.initialValue = L"Ручной";
    ASSERT_TRUE(m.Edit(Path(m, "Boiler.Control.Mode"), s));
    const std::string saved = m.Save();

    SimModel copy;
    ASSERT_TRUE(copy.Load(saved));
    EXPECT_EQ(saved, copy.Save());
    EXPECT_EQ(L"Ручной", std::wstring(ViewOf(copy, "Boiler.Control.Mode").value.bstrVal));

    // Every truncation and a foreign stream leave the tree as it was.
    SimModel keeper;
    SimSettings device;
    device.kind = SimKind::Device;
    device.name = "Mine";
    keeper.Add(0, device);
    for (size_t n = 0; n < saved.size(); n += 7)
        EXPECT_FALSE(keeper.Load(saved.substr(0, n))) << "length " << n;
    EXPECT_FALSE(keeper.Load("PROBE-DRIVER 1\nroot=x\n"));
    std::string otherVersion = saved;
    otherVersion[8] = 99;
    EXPECT_FALSE(keeper.Load(otherVersion));
    std::string hugeCount = saved;
    hugeCount[12] = hugeCount[13] = hugeCount[14] = hugeCount[15] = '\xFF';
    EXPECT_FALSE(keeper.Load(hugeCount));
    EXPECT_NE(0u, keeper.FindPath("Mine"));
    EXPECT_EQ(0u, keeper.FindPath("Boiler"));
}

TEST(SimulatorModel, ConcurrentUseKeepsItConsistent) {
    SimModel m;
    m.BuildDemoTree();
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) m.Update();
    });
    threads.emplace_back([&] {
        SimSettings tag;
        for (int i = 0; i < 300; ++i) {
            tag.name = "T" + std::to_string(i % 7);
            DWORD id = m.Add(m.FindPath("Line"), tag);
            if (id) m.Remove(id);
        }
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            VARIANT v;
            v.vt = VT_R8;
            v.dblVal = 5;
            for (int i = 0; i < 300; ++i) {
                auto view = m.View(m.FindPath("Boiler.Control.Setpoint"));
                if (view) VariantClear(&view->value);
                m.Write(m.FindPath("Boiler.Control.Setpoint"), v);
                m.Children(m.FindPath("Line"), true);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(5.0, ViewOf(m, "Boiler.Control.Setpoint").value.dblVal);
}

TEST(SimulatorDriver, ServesTheDemoTreeThroughTheHost) {
    ScratchDirectory dir;
    WriteTextFile(dir.File("Drivers.cfg"), TestProgramDirectory() + "\\simulator.dll|Sim\n");
    g_drivers.LoadFrom(dir.File("Drivers.cfg"));
    ASSERT_EQ(1u, g_drivers.Snapshot()->drivers.size());
    auto driver = g_drivers.Snapshot()->drivers[0];
    std::vector<std::string> list;
    driver->EnumChildren(list, 0);
    EXPECT_TRUE(list.empty()) << "a freshly loaded simulator is empty";
    driver->DefaultSettings();
    driver->EnumChildren(list, 0);
    EXPECT_EQ((std::vector<std::string>{"Boiler", "Line", "Reserve"}), list);
    driver->Start(0);
    driver->Update(0);
    CObjectInfo info;
    driver->GetObjectInfo(driver->GetObjectIDFromPath({"Line", "Positions"}), info);
    EXPECT_TRUE(info.isTag);
    EXPECT_TRUE(info.readOnly);
    EXPECT_EQ(VT_ARRAY | VT_I4, info.value.Type());
    EXPECT_EQ(WideToAnsi(L"Положения захватов"), info.description);

    const DWORD setpoint = driver->GetObjectID(0, "Boiler.Control.Setpoint");
    driver->GetObjectInfo(setpoint, info);
    EXPECT_FALSE(info.readOnly);
    info.clients = 2;
    V_VT(info.value.Put()) = VT_R8;
    V_R8(info.value.Get()) = 66.5;
    driver->SetObjectInfo(setpoint, info);
    CObjectInfo back;
    driver->GetObjectInfo(setpoint, back);
    EXPECT_EQ(66.5, V_R8(back.value.Get()));
    EXPECT_EQ(2u, back.clients);
    const CDriver::TagFacts level =
        driver->GetTagFacts(driver->GetObjectID(0, "Boiler.Sensors.Level"));
    EXPECT_TRUE(level.hasRange);
    EXPECT_EQ(100.0, level.euHigh);
    EXPECT_FALSE(driver->GetEngineeringUnits(setpoint).hasRange) << "a constant";
    driver->Stop(0);
    EXPECT_EQ(0u, driver->FaultCount());
    driver.reset();  // an unload waits for every user of the driver
    g_drivers.Unload();
}

// What one written value costs in the driver host, for the write benchmark's figures: the
// simulator's own two entry points called directly (DLLGetObjectInfo for the record,
// DLLSetObjectInfo with the new value: the whole-record way), the host's WriteValue around
// them inside one piece of driver work, and the values of a client's Write of many items
// through DLLWriteValues, as such a Write runs.
TEST(SimulatorDriver, AWrittenValueCostsTheDriverItsTwoEntryPoints) {
    ScratchDirectory dir;
    WriteTextFile(dir.File("Drivers.cfg"), TestProgramDirectory() + "\\simulator.dll|Sim\n");
    g_drivers.LoadFrom(dir.File("Drivers.cfg"));
    auto driver = g_drivers.Snapshot()->drivers.at(0);
    driver->DefaultSettings();
    const DWORD setpoint = driver->GetObjectID(0, "Boiler.Control.Setpoint");
    ASSERT_NE(0u, setpoint);
    auto get = reinterpret_cast<DLLGetObjectInfoProc>(
        reinterpret_cast<void*>(GetProcAddress(driver->Module(), "DLLGetObjectInfo")));
    auto set = reinterpret_cast<DLLSetObjectInfoProc>(
        reinterpret_cast<void*>(GetProcAddress(driver->Module(), "DLLSetObjectInfo")));
    ASSERT_TRUE(get && set);
    constexpr int kWrites = 20000;
    const double direct = SecondsOf([&] {
        for (int i = 0; i < kWrites; ++i) {
            DLLOBJECTINFO raw{};
            get(setpoint, &raw);
            VariantClear(&raw.value);
            V_VT(&raw.value) = VT_R8;
            V_R8(&raw.value) = 40.0 + i % 10;
            set(setpoint, &raw);
            FreeDriverRecord(raw);
        }
    });
    double hosted = -1;
    {
        // The task keeps the driver: it goes before the unload waits for every holder.
        DriverCall<double> call = driver->Begin<double>([&](CDriver& d) {
            Variant value;
            V_VT(value.Put()) = VT_R8;
            return SecondsOf([&] {
                for (int i = 0; i < kWrites; ++i) {
                    V_R8(value.Get()) = 50.0 + i % 10;
                    if (!d.WriteValue(setpoint, value)) ADD_FAILURE() << "a write refused";
                }
            });
        });
        ASSERT_TRUE(call.Wait(60000));
        hosted = call.Result();
    }
    CObjectInfo back;
    driver->GetObjectInfo(setpoint, back);
    EXPECT_EQ(50.0 + (kWrites - 1) % 10, V_R8(back.value.Get())) << "the last write stuck";
    // The same values a thousand at a time, as a client's Write of many items hands them over
    // where the driver has DLLWriteValues.
    double batched = -1;
    {
        constexpr size_t kBatch = 1000;
        std::vector<DWORD> ids(kBatch, setpoint);
        std::vector<Variant> values(kBatch);
        for (size_t k = 0; k < kBatch; ++k) {
            V_VT(values[k].Put()) = VT_R8;
            V_R8(values[k].Get()) = 60.0 + k % 10;
        }
        DriverCall<double> call = driver->Begin<double>([&](CDriver& d) {
            return SecondsOf([&] {
                for (int i = 0; i < kWrites / static_cast<int>(kBatch); ++i)
                    if (d.WriteValues(ids, values) != std::vector<bool>(kBatch, true))
                        ADD_FAILURE() << "a write refused";
            });
        });
        ASSERT_TRUE(call.Wait(60000));
        batched = call.Result();
    }
    driver->GetObjectInfo(setpoint, back);
    EXPECT_EQ(60.0 + 999 % 10, V_R8(back.value.Get())) << "the last of the batch stuck";
    EXPECT_EQ(0u, driver->FaultCount());
    printf(
        "A written value: the simulator's two entry points %.2f us, with the host's "
        "WriteValue around them %.2f us; a thousand at a time through DLLWriteValues %.2f us\n",
        direct * 1e6 / kWrites, hosted * 1e6 / kWrites, batched * 1e6 / kWrites);
    driver.reset();
    g_drivers.Unload();
}

}  // namespace
