// The whole chain: an OPC client in this process, the installed server in its own, the Modbus
// TCP driver in the server, and a real Modbus TCP device (Debian's pymodbus, started by CTest).
// Every type and word and byte order is read from registers the device holds and written back
// into them; the device is switched off and on under a subscribed client; `opcclient watch`
// shows a change made on the device side; devices on a Modbus RTU line and behind an RTU
// gateway are read and written like the others. The device's diagnostics folder is browsed,
// read, refused writes and watched while the device goes away; and `opcdefaults` moves the
// device's tags between the saved configuration and CSV files.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "configuration_file.h"
#include "modbus_device_control.h"
#include "modbus_load_tree.h"
#include "modbus_rtu_devices.h"
#include "modbus_tree.h"
#include "opc_client_fixture.h"

namespace {

using modbus::DataType;
using modbus::Table;
using namespace modbus_tree;

// One tag: where it lives, how it is encoded, what the device holds and what the client
// sees, then what the client writes and what the device must hold afterwards.
struct Case {
    const char* name;
    Table table;
    uint16_t address;
    DataType type;
    std::function<void(modbus::Encoding&)> tweak;
    std::vector<uint16_t> raw;
    VARTYPE vt;
    double value;  // numbers and bools (-1 for true)
    const wchar_t* text;
    double written;
    const wchar_t* writtenText;
    std::vector<uint16_t> rawWritten;
};

const auto kLowWordFirst = [](modbus::Encoding& e) { e.lowWordFirst = true; };
const auto kSwapBytes = [](modbus::Encoding& e) { e.swapBytes = true; };

std::vector<Case> Cases() {
    const auto both = [](modbus::Encoding& e) { e.lowWordFirst = e.swapBytes = true; };
    const auto threeRegisters = [](modbus::Encoding& e) { e.stringRegisters = 3; };
    const auto tenths = [](modbus::Encoding& e) { e.scaling = {true, 0, 1000, 0, 100}; };
    // One tag a row: where it lives and how, then what the device holds, what the client reads,
    // what it writes and what the device holds afterwards.
    // clang-format off
    return {
        {"Coil", Table::kCoil, 0, DataType::kBool, nullptr,
         {1}, VT_BOOL, -1, nullptr, 0, nullptr, {0}},
        {"BitInRegister", Table::kHoldingRegister, 0, DataType::kBool, nullptr,
         {5}, VT_BOOL, -1, nullptr, 0, nullptr, {0}},
        {"Int16", Table::kHoldingRegister, 1, DataType::kInt16, nullptr,
         {0xFFFE}, VT_I2, -2, nullptr, -300, nullptr, {65236}},
        {"UInt16", Table::kHoldingRegister, 2, DataType::kUInt16, nullptr,
         {65535}, VT_UI2, 65535, nullptr, 40000, nullptr, {40000}},
        {"Int32", Table::kHoldingRegister, 3, DataType::kInt32, nullptr,
         {0xFFFF, 0xFFFE}, VT_I4, -2, nullptr, 100000, nullptr, {1, 34464}},
        {"Int32LowFirst", Table::kHoldingRegister, 5, DataType::kInt32, kLowWordFirst,
         {0xFFFE, 0xFFFF}, VT_I4, -2, nullptr, 100000, nullptr, {34464, 1}},
        {"UInt32", Table::kHoldingRegister, 7, DataType::kUInt32, nullptr,
         {1, 0}, VT_UI4, 65536, nullptr, 3000000000.0, nullptr, {0xB2D0, 0x5E00}},
        {"Float32", Table::kHoldingRegister, 9, DataType::kFloat32, nullptr,
         {0x3FC0, 0}, VT_R4, 1.5, nullptr, 2.25, nullptr, {0x4010, 0}},
        {"Float32Swapped", Table::kHoldingRegister, 11, DataType::kFloat32, kSwapBytes,
         {0xC03F, 0}, VT_R4, 1.5, nullptr, -1, nullptr, {0x80BF, 0}},
        {"Float32BothOrders", Table::kHoldingRegister, 13, DataType::kFloat32, both,
         {0, 0xC03F}, VT_R4, 1.5, nullptr, -1, nullptr, {0, 0x80BF}},
        {"Float64", Table::kHoldingRegister, 15, DataType::kFloat64, nullptr,
         {0x3FF8, 0, 0, 0}, VT_R8, 1.5, nullptr, -2.5, nullptr, {0xC004, 0, 0, 0}},
        {"Float64LowFirst", Table::kHoldingRegister, 19, DataType::kFloat64, kLowWordFirst,
         {0, 0, 0, 0x3FF8}, VT_R8, 1.5, nullptr, -2.5, nullptr, {0, 0, 0, 0xC004}},
        {"Text", Table::kHoldingRegister, 23, DataType::kString, threeRegisters,
         {0x4142, 0x4344, 0x4500}, VT_BSTR, 0, L"ABCDE", 0, L"Пуск", {0xCFF3, 0xF1EA, 0}},
        {"Scaled", Table::kHoldingRegister, 26, DataType::kInt16, tenths,
         {250}, VT_R8, 25, nullptr, 50, nullptr, {500}},
        {"Input", Table::kInputRegister, 0, DataType::kUInt16, nullptr,
         {1234}, VT_UI2, 1234, nullptr, 0, nullptr, {}},
        {"Discrete", Table::kDiscreteInput, 0, DataType::kBool, nullptr,
         {1}, VT_BOOL, -1, nullptr, 0, nullptr, {}},
    };
    // clang-format on
}

char TableLetter(Table t) {
    return "cdih"[static_cast<int>(t)];
}

std::wstring ItemId(const char* tag) {
    std::string id = std::string("Modbus.PLC.") + tag;
    return std::wstring(id.begin(), id.end());
}

// A device PLC with a tag for every case, and one to watch.
bool LoadTestTree(CDriver& driver, uint16_t port) {
    modbus::Model tree;
    const DWORD plc = tree.Add(0, Device("PLC", port, 100, 1000, 0));
    for (const Case& c : Cases()) tree.Add(plc, Tag(c.name, c.table, c.address, c.type, c.tweak));
    tree.Add(plc, Tag("Watched", Table::kHoldingRegister, 60));
    RtuDevices rtu;
    if (rtu.Ok()) {
        const DWORD line =
            tree.Add(0, OnRtuLink("Line", modbus::Transport::kRtu, rtu.secondLine, 0, 2));
        tree.Add(line, Tag("Value", Table::kHoldingRegister, 700));
        const DWORD gateway = tree.Add(
            0, OnRtuLink("Gateway", modbus::Transport::kRtuOverTcp, "COM1", rtu.rtuTcpPort, 1));
        tree.Add(gateway, Tag("Value", Table::kHoldingRegister, 701));
    }
    return LoadTree(driver, tree);
}

class ModbusChain : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        install_ = new ServerInstallation();
        install_->AddShippedDriver(TestProgramDirectory() + "\\modbus.dll", "Modbus");
        registered_ = install_->Run("/RegServer");
        ModbusDevice device;
        // The configuration is written by the product's own save and becomes the registered
        // server's default.
        configured_ = device.Ok() && install_->SaveDefaultConfiguration([&](const std::string& name,
                                                                            CDriver& driver) {
            return name != "Modbus" || LoadTestTree(driver, device.Port());
        });
    }

    void SetUp() override {
        ASSERT_TRUE(device_.Ok()) << "the test device does not answer (build/modbus_device.state)";
        ASSERT_TRUE(configured_);
        device_.Up();
        OpcClientTest::SetUp();
    }

    // An active group at rate 100 ms, and its item and synchronous-IO interfaces.
    void MakeGroup(const wchar_t* name, ComPtr<IOPCItemMgt>& items, ComPtr<IOPCSyncIO>& io) {
        AddedGroup g = AddGroupTo(server_.Get(), name, 100);
        ASSERT_TRUE(SUCCEEDED(g.state.As(items)));
        ASSERT_TRUE(SUCCEEDED(g.state.As(io)));
    }

    // Reads `item` from the device until `done` says yes or 10 s have passed.
    OPCITEMSTATE ReadUntil(IOPCSyncIO* io, OPCHANDLE item,
                           const std::function<bool(const OPCITEMSTATE&)>& done) {
        OPCITEMSTATE last{};
        const DWORD start = GetTickCount();
        do {
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            if (SUCCEEDED(io->Read(OPC_DS_DEVICE, 1, &item, &states, &errors))) {
                VariantClear(&last.vDataValue);
                last = states[0];
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
                if (done(last)) return last;
            }
            Sleep(100);
        } while (GetTickCount() - start < 10000);
        return last;
    }

    // Writes `value` to `item` alone, which the server is to refuse: the item's error.
    HRESULT RefusedWrite(IOPCSyncIO* io, OPCHANDLE item, VARTYPE type, LONG number) {
        VARIANT value;
        V_VT(&value) = type;
        if (type == VT_UI2)
            V_UI2(&value) = static_cast<USHORT>(number);
        else
            V_I4(&value) = number;
        HRESULT* errors = nullptr;
        EXPECT_EQ(S_FALSE, io->Write(1, &item, &value, &errors));
        const HRESULT error = errors ? errors[0] : S_OK;
        CoTaskMemFree(errors);
        return error;
    }

    ModbusDevice device_;
    inline static bool configured_ = false;
};

bool Matches(const OPCITEMSTATE& s, const Case& c) {
    const VARIANT& v = s.vDataValue;
    if (s.wQuality != OPC_QUALITY_GOOD || V_VT(&v) != c.vt) return false;
    switch (c.vt) {
        case VT_BOOL:
            return V_BOOL(&v) == VARIANT_TRUE;
        case VT_I2:
            return V_I2(&v) == c.value;
        case VT_UI2:
            return V_UI2(&v) == c.value;
        case VT_I4:
            return V_I4(&v) == c.value;
        case VT_UI4:
            return V_UI4(&v) == c.value;
        case VT_R4:
            return V_R4(&v) == c.value;
        case VT_R8:
            return std::fabs(V_R8(&v) - c.value) < 1e-9;
        case VT_BSTR:
            return std::wstring(V_BSTR(&v)) == c.text;
    }
    return false;
}

TEST_F(ModbusChain, EveryTypeAndOrderIsReadFromTheDeviceAndWrittenBack) {
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ASSERT_NO_FATAL_FAILURE(MakeGroup(L"types", items, io));
    const std::vector<Case> cases = Cases();
    std::vector<std::wstring> ids;
    for (const Case& c : cases) {
        ASSERT_TRUE(device_.Set(TableLetter(c.table), c.address, c.raw)) << c.name;
        ids.push_back(ItemId(c.name));
    }
    Added added = AddItems(items.Get(), ids);
    ASSERT_EQ(S_OK, added.hr);
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.vt, added.results[i].vtCanonicalDataType);
        const bool writable = c.table == Table::kCoil || c.table == Table::kHoldingRegister;
        EXPECT_EQ(writable ? OPC_READABLE | OPC_WRITEABLE : OPC_READABLE,
                  added.results[i].dwAccessRights);
        OPCITEMSTATE read =
            ReadUntil(io.Get(), added[i], [&](const OPCITEMSTATE& s) { return Matches(s, c); });
        EXPECT_TRUE(Matches(read, c)) << "quality 0x" << std::hex << read.wQuality << ", type "
                                      << std::dec << V_VT(&read.vDataValue);
        VariantClear(&read.vDataValue);

        VARIANT value;
        VariantInit(&value);
        if (c.writtenText) {
            V_VT(&value) = VT_BSTR;
            V_BSTR(&value) = SysAllocString(c.writtenText);
        } else {
            V_VT(&value) = VT_R8;
            V_R8(&value) = c.written;
        }
        OPCHANDLE handle = added[i];
        HRESULT* errors = nullptr;
        const HRESULT hr = io->Write(1, &handle, &value, &errors);
        VariantClear(&value);
        if (!writable) {
            EXPECT_EQ(S_FALSE, hr);
            if (errors) {
                EXPECT_EQ(OPC_E_BADRIGHTS, errors[0]);
            }
        } else {
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(c.rawWritten, device_.Get(TableLetter(c.table), c.address,
                                                static_cast<uint16_t>(c.rawWritten.size())));
        }
        CoTaskMemFree(errors);
    }
}

TEST_F(ModbusChain, ADeviceSwitchedOffReadsCommunicationFailureThenGoodAgain) {
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ASSERT_NO_FATAL_FAILURE(MakeGroup(L"onoff", items, io));
    ASSERT_TRUE(device_.Set('h', 60, {4321}));
    Added added = AddItems(items.Get(), {ItemId("Watched")});
    ASSERT_EQ(S_OK, added.hr);
    OPCITEMSTATE s = ReadUntil(io.Get(), added[0], [](const OPCITEMSTATE& s) {
        return s.wQuality == OPC_QUALITY_GOOD && V_UI2(&s.vDataValue) == 4321;
    });
    ASSERT_EQ(OPC_QUALITY_GOOD, s.wQuality);
    const FILETIME good = s.ftTimeStamp;
    VariantClear(&s.vDataValue);

    ASSERT_TRUE(device_.Down());
    s = ReadUntil(io.Get(), added[0],
                  [](const OPCITEMSTATE& s) { return s.wQuality == OPC_QUALITY_COMM_FAILURE; });
    EXPECT_EQ(OPC_QUALITY_COMM_FAILURE, s.wQuality);
    EXPECT_EQ(VT_UI2, V_VT(&s.vDataValue));
    EXPECT_EQ(4321, V_UI2(&s.vDataValue)) << "the last value stays";
    EXPECT_GE(CompareFileTime(&s.ftTimeStamp, &good), 0);
    VariantClear(&s.vDataValue);
    // A write to a device that is away fails.
    EXPECT_EQ(E_FAIL, RefusedWrite(io.Get(), added[0], VT_UI2, 1));
    OPCHANDLE handle = added[0];
    HRESULT* errors = nullptr;
    OPCITEMSTATE* cached = nullptr;
    if (SUCCEEDED(io->Read(OPC_DS_CACHE, 1, &handle, &cached, &errors))) {
        EXPECT_EQ(4321, V_UI2(&cached[0].vDataValue)) << "the refused value is not cached";
        VariantClear(&cached[0].vDataValue);
        CoTaskMemFree(cached);
        CoTaskMemFree(errors);
    }

    ASSERT_TRUE(device_.Set('h', 60, {4322}));
    ASSERT_TRUE(device_.Up());
    // Reconnected within the back-off (a few seconds for a short outage), nothing restarted.
    s = ReadUntil(io.Get(), added[0], [](const OPCITEMSTATE& s) {
        return s.wQuality == OPC_QUALITY_GOOD && V_UI2(&s.vDataValue) == 4322;
    });
    EXPECT_EQ(OPC_QUALITY_GOOD, s.wQuality);
    EXPECT_EQ(4322, V_UI2(&s.vDataValue));
    VariantClear(&s.vDataValue);
}

TEST_F(ModbusChain, OpcclientWatchShowsAChangeMadeOnTheDevice) {
    ASSERT_TRUE(device_.Set('h', 60, {111}));
    std::thread change([&] {
        Sleep(2500);
        ModbusDevice another;
        another.Set('h', 60, {222});
    });
    ChildRun watch =
        RunChild(L"opcclient.exe",
                 L"watch OPCServerVEXA.OPCServer Modbus.PLC.Watched --rate 250 --count 24", 60000);
    change.join();
    EXPECT_EQ(0u, watch.exitCode) << watch.err;
    const size_t before = watch.out.find("Modbus.PLC.Watched = 111 (VT_UI2, good)");
    const size_t after = watch.out.find("Modbus.PLC.Watched = 222 (VT_UI2, good)");
    EXPECT_NE(std::string::npos, before) << watch.out;
    EXPECT_NE(std::string::npos, after) << watch.out;
    EXPECT_LT(before, after);
}

// A unit on an RTU line and one behind a serial-to-Ethernet gateway, through the server like any
// other device: read from the device, and a write confirmed by the unit's echo lands in its
// memory.
TEST_F(ModbusChain, RtuDevicesOnALineAndBehindAGatewayAreReadWrittenAndCounted) {
    RtuDevices rtu;
    ASSERT_TRUE(rtu.Ok()) << "the RTU devices do not answer (build/modbus_rtu_device.state)";
    ASSERT_TRUE(rtu.Set(2, 700, 4242));
    ASSERT_TRUE(rtu.Set(1, 701, 4343));
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ASSERT_NO_FATAL_FAILURE(MakeGroup(L"rtu", items, io));
    Added added = AddItems(items.Get(), {L"Modbus.Line.Value", L"Modbus.Gateway.Value"});
    ASSERT_EQ(S_OK, added.hr);
    const unsigned held[] = {4242, 4343};
    const unsigned written[] = {777, 888};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "line" : "gateway");
        OPCITEMSTATE read = ReadUntil(io.Get(), added[i], [&](const OPCITEMSTATE& s) {
            return s.wQuality == OPC_QUALITY_GOOD && V_VT(&s.vDataValue) == VT_UI2 &&
                   V_UI2(&s.vDataValue) == held[i];
        });
        EXPECT_EQ(OPC_QUALITY_GOOD, read.wQuality);
        EXPECT_EQ(held[i], V_UI2(&read.vDataValue));
        VariantClear(&read.vDataValue);
        VARIANT value;
        VariantInit(&value);
        V_VT(&value) = VT_UI2;
        V_UI2(&value) = static_cast<USHORT>(written[i]);
        OPCHANDLE handle = added[i];
        HRESULT* errors = nullptr;
        EXPECT_EQ(S_OK, io->Write(1, &handle, &value, &errors));
        CoTaskMemFree(errors);
    }
    EXPECT_EQ(std::vector<unsigned>{777}, rtu.Get(2, 700, 1));
    EXPECT_EQ(std::vector<unsigned>{888}, rtu.Get(1, 701, 1));
    // Their transports count for the diagnostics as a TCP connection does.
    Added counted = AddItems(
        items.Get(), {L"Modbus.Line._Diagnostics.Answers", L"Modbus.Gateway._Diagnostics.Answers"});
    ASSERT_EQ(S_OK, counted.hr);
    for (size_t i = 0; i < 2; ++i) {
        const OPCITEMSTATE s = ReadUntil(io.Get(), counted[i], [](const OPCITEMSTATE& s) {
            return V_VT(&s.vDataValue) == VT_I4 && V_I4(&s.vDataValue) > 0;
        });
        EXPECT_GT(V_I4(&s.vDataValue), 0) << (i == 0 ? "line" : "gateway");
    }
}

// The device's link as clients see it: browsed like any branch, read-only, counting.
TEST_F(ModbusChain, TheDiagnosticsFolderCountsRequestsAndShowsTheDeviceGone) {
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server_.As(browse));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Modbus.PLC"));
    auto listed = [&](OPCBROWSETYPE type) {
        ComPtr<IEnumString> e;
        EXPECT_TRUE(SUCCEEDED(browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Put())));
        return AllStrings(e.Get());
    };
    const std::vector<std::wstring> branches = listed(OPC_BRANCH);
    EXPECT_NE(branches.end(), std::find(branches.begin(), branches.end(), L"_Diagnostics"));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"_Diagnostics"));
    const std::vector<std::wstring> leaves = listed(OPC_LEAF);
    EXPECT_NE(leaves.end(), std::find(leaves.begin(), leaves.end(), L"Requests"));
    EXPECT_NE(leaves.end(), std::find(leaves.begin(), leaves.end(), L"Exception11"));

    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ASSERT_NO_FATAL_FAILURE(MakeGroup(L"diagnostics", items, io));
    Added added = AddItems(
        items.Get(), {L"Modbus.PLC._Diagnostics.Requests", L"Modbus.PLC._Diagnostics.Connected",
                      L"Modbus.PLC._Diagnostics.LastError"});
    ASSERT_EQ(S_OK, added.hr);
    EXPECT_EQ(VT_I4, added.results[0].vtCanonicalDataType);
    EXPECT_EQ(VT_BOOL, added.results[1].vtCanonicalDataType);
    EXPECT_EQ(VT_BSTR, added.results[2].vtCanonicalDataType);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), added.results[0].dwAccessRights);

    OPCITEMSTATE s = ReadUntil(io.Get(), added[0], [](const OPCITEMSTATE& s) {
        return s.wQuality == OPC_QUALITY_GOOD && V_I4(&s.vDataValue) > 0;
    });
    const LONG first = V_I4(&s.vDataValue);
    ASSERT_GT(first, 0);
    s = ReadUntil(io.Get(), added[0],
                  [&](const OPCITEMSTATE& s) { return V_I4(&s.vDataValue) > first + 2; });
    EXPECT_GT(V_I4(&s.vDataValue), first + 2) << "the device answers every 100 ms";

    EXPECT_EQ(OPC_E_BADRIGHTS, RefusedWrite(io.Get(), added[0], VT_I4, 0));

    ASSERT_TRUE(device_.Down());
    s = ReadUntil(io.Get(), added[1], [](const OPCITEMSTATE& s) {
        return V_VT(&s.vDataValue) == VT_BOOL && V_BOOL(&s.vDataValue) == VARIANT_FALSE;
    });
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&s.vDataValue)) << "the device is gone";
    s = ReadUntil(io.Get(), added[2], [](const OPCITEMSTATE& s) {
        return V_VT(&s.vDataValue) == VT_BSTR && SysStringLen(V_BSTR(&s.vDataValue)) > 0;
    });
    EXPECT_EQ(VT_BSTR, V_VT(&s.vDataValue));
    VariantClear(&s.vDataValue);
    ASSERT_TRUE(device_.Up());
}

// The command line works on a saved file through the installed driver, as the server would.
TEST_F(ModbusChain, OpcdefaultsExportsAndImportsTagListsOfASavedConfiguration) {
    const std::optional<std::string> saved = ReadDefaultConfigurationPath();
    ASSERT_TRUE(saved);
    const std::string config = install_->dir_.File("tags.cfg");
    ASSERT_TRUE(CopyFileA(saved->c_str(), config.c_str(), FALSE));
    const std::string tool = install_->dir_.File("bin\\opcdefaults.exe");
    ASSERT_TRUE(
        CopyFileA((TestProgramDirectory() + "\\opcdefaults.exe").c_str(), tool.c_str(), FALSE));
    const std::wstring exe(tool.begin(), tool.end());
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    const std::string out = install_->dir_.File("out.csv");
    const std::string in = install_->dir_.File("in.csv");

    ChildRun run = RunChild(exe, L"--export-tags " + wide(config) + L" PLC " + wide(out));
    ASSERT_EQ(0u, run.exitCode) << run.err;
    const std::string exported = ReadTextFile(out);
    EXPECT_NE(std::string::npos, exported.find("\r\nWatched,,holding_registers,60,uint16,"))
        << exported;
    EXPECT_EQ(std::string::npos, exported.find("_Diagnostics")) << "the driver's, not the user's";

    WriteTextFile(in,
                  "name;table;address;type\r\nNew.One;holding_registers;70;uint16\r\n"
                  "Watched;holding_registers;71;uint16\r\n");
    run = RunChild(exe, L"--import-tags " + wide(config) + L" PLC " + wide(in));
    EXPECT_EQ(3u, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("nothing imported")) << run.err;
    run = RunChild(exe, L"--export-tags " + wide(config) + L" PLC " + wide(out));
    EXPECT_EQ(std::string::npos, ReadTextFile(out).find("New.One")) << "all or nothing";

    run = RunChild(exe, L"--import-tags " + wide(config) + L" PLC " + wide(in) + L" --good-rows");
    EXPECT_EQ(3u, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("tags added to PLC: 1")) << run.out;
    run = RunChild(exe, L"--export-tags " + wide(config) + L" PLC " + wide(out));
    EXPECT_NE(std::string::npos, ReadTextFile(out).find("\r\nNew.One,,holding_registers,70,"))
        << "written into the file";
    run = RunChild(exe, L"--export-tags " + wide(config) + L" NoSuchDevice " + wide(out));
    EXPECT_EQ(1u, run.exitCode);
}

}  // namespace
