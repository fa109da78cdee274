// The Modbus TCP driver DLL through the driver host, against a real Modbus TCP server (Debian's
// pymodbus, started by CTest): requests merged as the protocol allows, counted on the device;
// a refused address that spoils nobody else's reading; writes confirmed by the device; and a
// device that takes the connection and never answers, which must hold up no entry point.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include <string>

#include "driver_list.h"
#include "modbus_device_control.h"
#include "modbus_load_tree.h"
#include "modbus_tree.h"
#include "probe_driver_files.h"

namespace {

using modbus::DataType;
using modbus::Table;
using namespace modbus_tree;

Variant Value(VARTYPE type, const std::function<void(VARIANT&)>& set) {
    VARIANT raw;
    VariantInit(&raw);
    V_VT(&raw) = type;
    set(raw);
    return Variant(raw);
}

class ModbusDriver : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(device_.Ok()) << "the test device does not answer (build/modbus_device.state)";
        WriteTextFile(dir_.File("Drivers.cfg"), TestProgramDirectory() + "\\modbus.dll|Modbus\n");
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        ASSERT_EQ(1u, g_drivers.Snapshot()->drivers.size());
        driver_ = g_drivers.Snapshot()->drivers[0];
        device_.Up();
        device_.ResetCounts();
    }
    void TearDown() override {
        if (driver_ && driver_->StartCount() > 0) driver_->Stop(0);
        driver_.reset();
        g_drivers.Unload();
        device_.Up();
    }

    DWORD Id(const char* path) { return driver_->GetObjectID(0, path); }

    CObjectInfo Info(const char* path) {
        CObjectInfo info;
        driver_->GetObjectInfo(Id(path), info);
        return info;
    }

    // Updates the driver until `done` or `ms` have passed.
    bool UpdateUntil(const std::function<bool()>& done, DWORD ms = 10000) {
        const DWORD start = GetTickCount();
        do {
            driver_->Update(0);
            if (done()) return true;
            Sleep(50);
        } while (GetTickCount() - start < ms);
        return false;
    }

    ModbusDevice device_;
    ScratchDirectory dir_;
    std::shared_ptr<CDriver> driver_;
};

TEST_F(ModbusDriver, NeighbouringTagsShareARequestAndDistantOnesDoNot) {
    modbus::Model tree;
    const DWORD plc = tree.Add(0, Device("PLC", device_.Port(), 100));
    for (uint16_t a = 0; a < 20; ++a)
        tree.Add(plc, Tag(("H" + std::to_string(a)).c_str(), Table::kHoldingRegister, a));
    tree.Add(plc, Tag("Near", Table::kHoldingRegister, 30, DataType::kFloat32));
    tree.Add(plc, Tag("Far", Table::kHoldingRegister, 150));
    for (uint16_t a = 0; a < 5; ++a)
        tree.Add(plc, Tag(("C" + std::to_string(a)).c_str(), Table::kCoil, a, DataType::kBool));
    ASSERT_TRUE(LoadTree(*driver_, tree));
    ASSERT_TRUE(device_.Set('h', 0, {7}));
    driver_->Start(0);
    ASSERT_TRUE(UpdateUntil([&] { return Info("PLC.H0").quality == 0xC0; }));
    ASSERT_TRUE(device_.ResetCounts());
    Sleep(2000);
    const int coilReads = device_.Reads('c');
    const int registerReads = device_.Reads('h');
    printf("in 2 s: %d coil requests, %d holding-register requests\n", coilReads, registerReads);
    // Per poll: one request for the five coils; one for H0..H19 and Near (a gap of ten
    // registers), one for Far.
    EXPECT_GE(coilReads, 3);
    EXPECT_NEAR(2 * coilReads, registerReads, 2);
    EXPECT_EQ(0, device_.Reads('i'));
    CObjectInfo h0 = Info("PLC.H0");
    EXPECT_EQ(VT_UI2, h0.value.Type());
    EXPECT_EQ(7, V_UI2(h0.value.Get()));
}

TEST_F(ModbusDriver, ARefusedAddressSpoilsOnlyItsOwnTag) {
    modbus::Model tree;
    const DWORD plc = tree.Add(0, Device("PLC", device_.Port(), 100));
    tree.Add(plc, Tag("A", Table::kHoldingRegister, 1996));
    tree.Add(plc, Tag("B", Table::kHoldingRegister, 1998));
    tree.Add(plc, Tag("Beyond", Table::kHoldingRegister, 2000));  // the device has 0..1999
    ASSERT_TRUE(LoadTree(*driver_, tree));
    ASSERT_TRUE(device_.Set('h', 1996, {11, 0, 22}));
    driver_->Start(0);
    ASSERT_TRUE(UpdateUntil([&] {
        return Info("PLC.A").quality == 0xC0 && Info("PLC.B").quality == 0xC0 &&
               Info("PLC.Beyond").quality == 0x04;
    })) << "A "
        << Info("PLC.A").quality << ", B " << Info("PLC.B").quality << ", Beyond "
        << Info("PLC.Beyond").quality;
    EXPECT_EQ(11, V_UI2(Info("PLC.A").value.Get()));
    EXPECT_EQ(22, V_UI2(Info("PLC.B").value.Get()));
    // From then on the neighbours are read together again and the refused tag alone.
    ASSERT_TRUE(device_.Set('h', 1998, {23}));
    EXPECT_TRUE(UpdateUntil([&] { return V_UI2(Info("PLC.B").value.Get()) == 23; }));
    EXPECT_EQ(0x04, Info("PLC.Beyond").quality);
}

TEST_F(ModbusDriver, WritesTakeEffectOnlyWhenTheDeviceConfirmsThem) {
    modbus::Model tree;
    const DWORD plc = tree.Add(0, Device("PLC", device_.Port(), 100));
    tree.Add(plc, Tag("Set", Table::kHoldingRegister, 40, DataType::kInt32));
    tree.Add(plc, Tag("Coil", Table::kCoil, 40, DataType::kBool));
    tree.Add(plc, Tag("Input", Table::kInputRegister, 40));
    tree.Add(plc, Tag("Beyond", Table::kHoldingRegister, 1999, DataType::kInt32));
    ASSERT_TRUE(LoadTree(*driver_, tree));
    driver_->Start(0);
    ASSERT_TRUE(UpdateUntil([&] { return Info("PLC.Set").quality == 0xC0; }));

    const Variant v = Value(VT_I4, [](VARIANT& x) { V_I4(&x) = -100000; });
    EXPECT_TRUE(driver_->WriteValue(Id("PLC.Set"), v));
    EXPECT_EQ((std::vector<uint16_t>{0xFFFE, 0x7960}), device_.Get('h', 40, 2));
    EXPECT_EQ(-100000, V_I4(Info("PLC.Set").value.Get())) << "shown at once";

    const Variant on = Value(VT_BOOL, [](VARIANT& x) { V_BOOL(&x) = VARIANT_TRUE; });
    EXPECT_TRUE(driver_->WriteValue(Id("PLC.Coil"), on));
    EXPECT_EQ((std::vector<uint16_t>{1}), device_.Get('c', 40, 1));

    EXPECT_FALSE(driver_->WriteValue(Id("PLC.Input"), v)) << "input registers are read-only";
    EXPECT_FALSE(driver_->WriteValue(Id("PLC.Beyond"), v)) << "the device refuses the address";
    EXPECT_TRUE(Info("PLC.Input").readOnly);
    EXPECT_FALSE(Info("PLC.Set").readOnly);
}

TEST_F(ModbusDriver, ASilentDeviceTimesOutAndHoldsUpNoEntryPointNorTheOtherDevice) {
    modbus::Model tree;
    const DWORD good = tree.Add(0, Device("Good", device_.Port(), 100));
    tree.Add(good, Tag("T", Table::kHoldingRegister, 50));
    const DWORD silent = tree.Add(0, Device("Silent", device_.SilentPort(), 100, 300, 1));
    tree.Add(silent, Tag("T", Table::kHoldingRegister, 50));
    ASSERT_TRUE(LoadTree(*driver_, tree));
    ASSERT_TRUE(device_.Set('h', 50, {5}));
    driver_->Start(0);
    DWORD slowestUpdate = 0;
    const bool settled = UpdateUntil([&] {
        const DWORD before = GetTickCount();
        driver_->Update(0);
        slowestUpdate = std::max(slowestUpdate, GetTickCount() - before);
        return Info("Good.T").quality == 0xC0 && Info("Silent.T").quality == 0x18;
    });
    EXPECT_TRUE(settled) << "good " << Info("Good.T").quality << ", silent "
                         << Info("Silent.T").quality;
    EXPECT_LT(slowestUpdate, 250u) << "DLLUpdate only hands over what the workers read";
    EXPECT_EQ(2, Info("Silent").image) << "the tree shows a device that does not answer";
    EXPECT_EQ(0, Info("Good").image);
    ASSERT_TRUE(device_.Set('h', 50, {6}));
    EXPECT_TRUE(UpdateUntil([&] { return V_UI2(Info("Good.T").value.Get()) == 6; }, 3000))
        << "the other device keeps its rate";

    const Variant v = Value(VT_UI2, [](VARIANT& x) { V_UI2(&x) = 9; });
    const DWORD before = GetTickCount();
    EXPECT_FALSE(driver_->WriteValue(Id("Silent.T"), v));
    EXPECT_LT(GetTickCount() - before, 2 * 300u + 1000u) << "twice the time-out at most";

    const DWORD stopping = GetTickCount();
    driver_->Stop(0);
    EXPECT_LT(GetTickCount() - stopping, 300u + 1000u);
}

// Figures, not judged: tag values per second read from one device and from ten, each with
// 1,000 holding registers polled every 50 ms (all ten are served by the one test device, a
// Python process, which is the slower side of every exchange).
TEST_F(ModbusDriver, ThroughputFromOneAndTenDevices) {
    constexpr int kTags = 1000, kRequestsPerPoll = (kTags + 124) / 125;
    constexpr DWORD kSeconds = 5;
    for (int devices : {1, 10}) {
        modbus::Model tree;
        for (int d = 0; d < devices; ++d) {
            const DWORD device =
                tree.Add(0, Device(("D" + std::to_string(d)).c_str(), device_.Port(), 50, 2000));
            for (int a = 0; a < kTags; ++a)
                tree.Add(device, Tag(("T" + std::to_string(a)).c_str(), Table::kHoldingRegister,
                                     static_cast<uint16_t>(a)));
        }
        ASSERT_TRUE(LoadTree(*driver_, tree));
        driver_->Start(0);
        const std::string last = "D" + std::to_string(devices - 1) + ".T999";
        ASSERT_TRUE(UpdateUntil([&] { return Info(last.c_str()).quality == 0xC0; }));
        device_.ResetCounts();
        Sleep(kSeconds * 1000);
        const int requests = device_.Reads('h');
        driver_->Stop(0);
        printf("%2d device(s) x %d tags, poll 50 ms: %.0f tags/s (%.0f requests/s)\n", devices,
               kTags, double(requests) / kRequestsPerPoll * kTags / kSeconds,
               double(requests) / kSeconds);
        EXPECT_GT(requests, 0);
    }
}

TEST_F(ModbusDriver, ADefaultTreeIsOneExampleDeviceOnThisComputer) {
    driver_->DefaultSettings();
    std::vector<std::string> devices;
    driver_->EnumChildren(devices, 0);
    ASSERT_EQ((std::vector<std::string>{"PLC1"}), devices);
    CObjectInfo temperature = Info("PLC1.Analog.Temperature");
    EXPECT_TRUE(temperature.isTag);
    EXPECT_EQ(VT_R8, temperature.value.Type()) << "scaled: engineering units";
    EXPECT_EQ(0x20, temperature.quality) << "not read yet";
    EXPECT_TRUE(Info("PLC1.Alarm").readOnly);

    // What clients scale the example by: the scaled span and the units set for it.
    const CDriver::EngineeringUnits eu =
        driver_->GetEngineeringUnits(Id("PLC1.Analog.Temperature"));
    EXPECT_TRUE(eu.hasRange);
    EXPECT_EQ(0.0, eu.low);
    EXPECT_EQ(100.0, eu.high);
    EXPECT_EQ(
        "\xB0"
        "C",
        eu.units);  // cp1251
    EXPECT_FALSE(driver_->GetTagFacts(Id("PLC1.Analog.Flow")).hasRange) << "not scaled";
    EXPECT_FALSE(driver_->GetEngineeringUnits(Id("PLC1.Pump")).hasUnits);
}

}  // namespace

namespace {

// A port on this computer that nobody listens on (taken and given back at once).
uint16_t ClosedPort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(a);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    closesocket(s);
    return ntohs(a.sin_port);
}

LONG Count(const CObjectInfo& info) {
    return info.value.Type() == VT_I4 ? V_I4(info.value.Get()) : -1;
}

}  // namespace

TEST_F(ModbusDriver, DiagnosticsCountWhatEachDevicesLinkDoes) {
    modbus::Model tree;
    const DWORD plc = tree.Add(0, Device("PLC", device_.Port(), 50));
    tree.Add(plc, Tag("A", Table::kHoldingRegister, 0));
    tree.Add(plc, Tag("Beyond", Table::kHoldingRegister, 2000));  // exception 2, every poll
    const DWORD silent = tree.Add(0, Device("Silent", device_.SilentPort(), 50, 100, 0));
    tree.Add(silent, Tag("A", Table::kHoldingRegister, 0));
    const DWORD nobody = tree.Add(0, Device("Nobody", ClosedPort(), 50, 100, 0));
    tree.Add(nobody, Tag("A", Table::kHoldingRegister, 0));
    ASSERT_TRUE(LoadTree(*driver_, tree));

    std::vector<std::string> names;
    driver_->EnumChildren(names, Id("PLC"));
    EXPECT_EQ(std::vector<std::string>{"_Diagnostics"}, names);
    driver_->EnumTags(names, Id("PLC._Diagnostics"));
    ASSERT_EQ(21u, names.size());
    EXPECT_EQ("Requests", names.front());
    EXPECT_EQ("RoundTripMs", names.back());
    EXPECT_FALSE(Info("PLC._Diagnostics").isTag);

    driver_->Start(0);
    ASSERT_TRUE(UpdateUntil([&] {
        return Count(Info("PLC._Diagnostics.Requests")) >= 6 &&
               Count(Info("PLC._Diagnostics.Exception02")) >= 2 &&
               Count(Info("Silent._Diagnostics.Timeouts")) >= 2 &&
               Info("Nobody._Diagnostics.LastError").value.Type() == VT_BSTR &&
               SysStringLen(V_BSTR(Info("Nobody._Diagnostics.LastError").value.Get())) > 0;
    })) << "requests "
        << Count(Info("PLC._Diagnostics.Requests")) << ", timeouts "
        << Count(Info("Silent._Diagnostics.Timeouts"));
    const CObjectInfo requests = Info("PLC._Diagnostics.Requests");
    EXPECT_TRUE(requests.isTag);
    EXPECT_TRUE(requests.readOnly);
    EXPECT_EQ(0xC0, requests.quality);
    EXPECT_GE(Count(Info("PLC._Diagnostics.Answers")), Count(requests) - 1);
    EXPECT_EQ(Count(Info("PLC._Diagnostics.Exception02")),
              Count(Info("PLC._Diagnostics.Exceptions")));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(Info("PLC._Diagnostics.Connected").value.Get()));
    EXPECT_EQ(VT_DATE, Info("PLC._Diagnostics.LastGoodAnswer").value.Type());
    EXPECT_GT(V_DATE(Info("PLC._Diagnostics.LastGoodAnswer").value.Get()), 40000.0);
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(Info("Nobody._Diagnostics.Connected").value.Get()));
    EXPECT_EQ(0, Count(Info("Nobody._Diagnostics.Requests"))) << "nothing was sent";
    EXPECT_EQ(L"Нет соединения с устройством.",
              std::wstring(V_BSTR(Info("Nobody._Diagnostics.LastError").value.Get())));
    EXPECT_EQ(0, Count(Info("Silent._Diagnostics.Answers")));

    // Read-only: no write reaches them, and they are no user's objects to remove.
    const Variant v = Value(VT_I4, [](VARIANT& x) { V_I4(&x) = 0; });
    EXPECT_FALSE(driver_->WriteValue(Id("PLC._Diagnostics.Requests"), v));
    EXPECT_GT(Count(Info("PLC._Diagnostics.Requests")), 0);
    EXPECT_EQ(0, driver_->RemoveObject(Id("PLC._Diagnostics")));
    EXPECT_EQ(0, driver_->AddObject(Id("PLC._Diagnostics"), nullptr)) << "no dialog, no object";
    EXPECT_NE(0u, Id("PLC._Diagnostics.Requests"));
    driver_->ChangeClientCount(Id("PLC._Diagnostics.Requests"), 2);
    EXPECT_EQ(2u, Info("PLC._Diagnostics.Requests").clients);

    // Identifiers in the diagnostics' range that name nothing: no device, no such tag.
    const DWORD forged[] = {0x80000000u, 0x80000000u | (999u << 5) | 1, Id("PLC._Diagnostics") + 31,
                            0xFFFFFFFFu};
    for (DWORD id : forged) {
        CObjectInfo info;
        driver_->GetObjectInfo(id, info);
        EXPECT_TRUE(info.name.empty()) << std::hex << id;
        EXPECT_FALSE(driver_->WriteValue(id, v));
        EXPECT_EQ(0, driver_->RemoveObject(id));
        std::vector<std::string> none;
        driver_->EnumTags(none, id);
        EXPECT_TRUE(none.empty());
    }

    // Another configuration numbers its devices afresh: its first device starts from nothing,
    // not from the counts of the device that had its number before.
    modbus::Model other;
    other.Add(0, Device("Other", ClosedPort(), 1000, 100, 0));
    ASSERT_TRUE(LoadTree(*driver_, other));
    ASSERT_EQ(plc, Id("Other"));
    EXPECT_EQ(0, Count(Info("Other._Diagnostics.Requests")));
    EXPECT_EQ(0, Count(Info("Other._Diagnostics.Exception02")));
}

TEST_F(ModbusDriver, ATagListComesInWholeOrWithTheGoodRowsOnlyWhenAsked) {
    modbus::Model tree;
    const DWORD plc = tree.Add(0, Device("PLC", device_.Port(), 1000));
    tree.Add(plc, Tag("Existing", Table::kHoldingRegister, 0));
    ASSERT_TRUE(LoadTree(*driver_, tree));
    using Import = LONG(__cdecl*)(const char*, const wchar_t*, BOOL, char**);
    using Export = LONG(__cdecl*)(const char*, const wchar_t*);
    auto import = reinterpret_cast<Import>(
        reinterpret_cast<void*>(GetProcAddress(driver_->Module(), "ModbusImportTagCsv")));
    auto exporter = reinterpret_cast<Export>(
        reinterpret_cast<void*>(GetProcAddress(driver_->Module(), "ModbusExportTagCsv")));
    ASSERT_TRUE(import && exporter);
    const std::string file = dir_.File("tags.csv");
    const std::wstring wide(file.begin(), file.end());
    WriteTextFile(file,
                  "name;table;address;type\n"
                  "Line.A;holding_registers;1;uint16\n"
                  "Existing;holding_registers;2;uint16\n"
                  "Line.B;coils;3;float32\n"
                  "Line.C;coils;4;bool\n");
    char* report = nullptr;
    EXPECT_EQ(-2, import("PLC", wide.c_str(), FALSE, &report));
    ASSERT_NE(nullptr, report);
    const std::string refused = report;
    CoTaskMemFree(report);
    EXPECT_NE(std::string::npos, refused.find("Строка 3: ")) << refused;
    EXPECT_NE(std::string::npos, refused.find("Строка 4: ")) << refused;
    EXPECT_EQ(0u, Id("PLC.Line")) << "all or nothing";

    EXPECT_EQ(2, import("PLC", wide.c_str(), TRUE, &report));
    CoTaskMemFree(report);
    EXPECT_NE(0u, Id("PLC.Line.A"));
    EXPECT_NE(0u, Id("PLC.Line.C"));
    EXPECT_EQ(0u, Id("PLC.Line.B"));
    EXPECT_EQ(-1, import("Nobody", wide.c_str(), TRUE, &report));

    ASSERT_EQ(1, exporter("PLC", wide.c_str()));
    EXPECT_EQ(0u, ReadTextFile(file).rfind("\xEF\xBB\xBFname,description,table,address,", 0));
    EXPECT_NE(std::string::npos, ReadTextFile(file).find("\r\nLine.C,,coils,4,bool,"));
    EXPECT_EQ(0, exporter("Nobody", wide.c_str()));
}
