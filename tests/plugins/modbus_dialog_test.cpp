// The Modbus TCP driver's own dialogs, driven as a user would: a second thread fills the fields
// and presses the buttons while DLLAddObject or DLLEditObject waits. Settings the driver cannot
// use are explained and not taken. A device's link counters are reset from its dialog or
// from its diagnostics folder. Needs a display (the tests run under Xvfb).
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "ansi_text.h"
#include "dialog_driver.h"
#include "driver_list.h"
#include "modbus_device_control.h"
#include "modbus_dialog_controls.h"
#include "modbus_load_tree.h"
#include "modbus_tree.h"
#include "probe_driver_files.h"

namespace {

constexpr const wchar_t* kAddTitle = L"Новый объект Modbus TCP";
constexpr const wchar_t* kEditTitle = L"Свойства объекта Modbus TCP";
constexpr const wchar_t* kComplaint = L"Modbus TCP";
using namespace modbus::dialog;

class ModbusDialogs : public testing::Test {
  protected:
    void SetUp() override {
        WriteTextFile(dir_.File("Drivers.cfg"), TestProgramDirectory() + "\\modbus.dll|Modbus\n");
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        ASSERT_EQ(1u, g_drivers.Snapshot()->drivers.size());
        driver_ = g_drivers.Snapshot()->drivers[0];
        driver_->DefaultSettings();
    }
    void TearDown() override {
        driver_.reset();
        g_drivers.Unload();
    }

    void WithDialog(const wchar_t* title, const std::function<void()>& call,
                    const std::function<void(HWND)>& user) {
        const DialogOutcome outcome = ::WithDialog(title, call, user, kComplaint);
        EXPECT_TRUE(outcome.found) << "the dialog did not appear";
        EXPECT_TRUE(outcome.closed) << "the dialog did not close";
    }

    // Presses OK and expects a complaint, which it dismisses; true if one came.
    static bool RefusedOnOk(HWND dialog) {
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        HWND message = WaitForDialog(kComplaint, 10000);
        if (!message) return false;
        PostMessageW(message, WM_COMMAND, IDOK, 0);
        const DWORD start = GetTickCount();
        while (IsWindow(message) && GetTickCount() - start < 10000) Sleep(50);
        return true;
    }

    ScratchDirectory dir_;
    std::shared_ptr<CDriver> driver_;
};

TEST_F(ModbusDialogs, ADeviceWithABadPortIsExplainedAndAGoodOneIsTaken) {
    bool refused = false;
    WithDialog(
        kAddTitle, [&] { driver_->AddObject(0, nullptr); },
        [&](HWND dialog) {
            EXPECT_EQ(L"Устройство", DialogItemText(dialog, kKind)) << "only devices at the top";
            EXPECT_EQ(L"502", DialogItemText(dialog, kPort));
            EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kHost)));
            EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, kTable)));
            SetDlgItemTextW(dialog, kName, L"Насосная");
            SetDlgItemTextW(dialog, kHost, L"10.0.0.5");
            SetDlgItemTextW(dialog, kPort, L"70000");
            refused = RefusedOnOk(dialog);
            SetDlgItemTextW(dialog, kPort, L"1502");
            SetDlgItemTextW(dialog, kHost, L"плк.local");  // not a host name
            refused = RefusedOnOk(dialog) && refused;
            SetDlgItemTextW(dialog, kHost, L"10.0.0.5");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
    EXPECT_TRUE(refused);
    std::vector<std::string> devices;
    driver_->EnumChildren(devices, 0);
    EXPECT_EQ((std::vector<std::string>{"PLC1", "\xCD\xE0\xF1\xEE\xF1\xED\xE0\xFF"}), devices);
}

// Choosing a serial line offers its fields instead of the network's, and a broadcast unit or a
// port that is no COM port is explained before anything is added.
TEST_F(ModbusDialogs, ASerialDeviceOffersItsLineAndRefusesBroadcastAndBadPorts) {
    int refusals = 0;
    WithDialog(
        kAddTitle, [&] { driver_->AddObject(0, nullptr); },
        [&](HWND dialog) {
            EXPECT_EQ(L"Modbus TCP", DialogItemText(dialog, kTransport));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kHost)));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kPortName)));
            SendDlgItemMessageW(dialog, kTransport, CB_SETCURSEL, 2, 0);
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(kTransport, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, kTransport)));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kHost)));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kPort)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kPortName)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, kBaud)));
            EXPECT_EQ(L"9600", DialogItemText(dialog, kBaud));
            SetDlgItemTextW(dialog, kName, L"Meter");
            SetDlgItemTextW(dialog, kPort, L"");  // unused on a line: not checked
            SetDlgItemTextW(dialog, kPortName, L"COM0");
            refusals += RefusedOnOk(dialog);
            SetDlgItemTextW(dialog, kPortName, L"COM12");
            SetDlgItemTextW(dialog, kUnit, L"0");
            refusals += RefusedOnOk(dialog);
            SetDlgItemTextW(dialog, kUnit, L"12");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
    EXPECT_EQ(2, refusals);
    std::vector<std::string> devices;
    driver_->EnumChildren(devices, 0);
    EXPECT_EQ((std::vector<std::string>{"PLC1", "Meter"}), devices);
}

TEST_F(ModbusDialogs, ATagThatDoesNotFitItsTableIsExplainedAndItsAddressShownAsEngineersWriteIt) {
    const DWORD plc = driver_->GetObjectID(0, "PLC1");
    bool refused = false;
    WithDialog(
        kAddTitle, [&] { driver_->AddObject(plc, nullptr); },
        [&](HWND dialog) {
            EXPECT_EQ(L"Тег", DialogItemText(dialog, kKind));
            SetDlgItemTextW(dialog, kName, L"Speed");
            SendDlgItemMessageW(dialog, kTable, CB_SETCURSEL, 3, 0);
            SendDlgItemMessageW(dialog, kType, CB_SETCURSEL, 5, 0);  // float32
            SetDlgItemTextW(dialog, kAddress, L"65535");
            refused = RefusedOnOk(dialog);
            SetDlgItemTextW(dialog, kAddress, L"10");
            EXPECT_EQ(L"40011", DialogItemText(dialog, kNotation));
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
    EXPECT_TRUE(refused) << "two registers from 65535 run past the end";
    CObjectInfo info;
    driver_->GetObjectInfo(driver_->GetObjectID(0, "PLC1.Speed"), info);
    EXPECT_TRUE(info.isTag);
    EXPECT_EQ(VT_R4, info.value.Type());
    EXPECT_FALSE(info.readOnly);
}

TEST_F(ModbusDialogs, EditRefusesANumberOnACoilAndCancelChangesNothing) {
    const DWORD pump = driver_->GetObjectID(0, "PLC1.Pump");
    bool refused = false;
    WithDialog(
        kEditTitle, [&] { driver_->EditObject(pump, nullptr); },
        [&](HWND dialog) {
            EXPECT_EQ(L"Pump", DialogItemText(dialog, kName));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kKind)));
            EXPECT_EQ(L"00001", DialogItemText(dialog, kNotation));
            SendDlgItemMessageW(dialog, kType, CB_SETCURSEL, 1, 0);  // int16
            refused = RefusedOnOk(dialog);
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        });
    EXPECT_TRUE(refused);
    CObjectInfo info;
    driver_->GetObjectInfo(pump, info);
    EXPECT_EQ(VT_BOOL, info.value.Type());
}

TEST_F(ModbusDialogs, ARangeForClientsMustBeASpanAndTheUnitsAreTaken) {
    const DWORD flow = driver_->GetObjectID(0, "PLC1.Analog.Flow");
    bool refused = false;
    WithDialog(
        kEditTitle, [&] { driver_->EditObject(flow, nullptr); },
        [&](HWND dialog) {
            EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kUnits)));
            EXPECT_EQ(L"", DialogItemText(dialog, kUnits));
            CheckDlgButton(dialog, kRanged, BST_CHECKED);
            SetDlgItemTextW(dialog, kRangeLow, L"250");
            SetDlgItemTextW(dialog, kRangeHigh, L"0");
            SetDlgItemTextW(dialog, kUnits, L"м3/ч");
            refused = RefusedOnOk(dialog);
            SetDlgItemTextW(dialog, kRangeLow, L"0");
            SetDlgItemTextW(dialog, kRangeHigh, L"250,5");  // the separator a keyboard gives
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
    EXPECT_TRUE(refused) << "a range upside down";
    const CDriver::EngineeringUnits eu = driver_->GetEngineeringUnits(flow);
    EXPECT_TRUE(eu.hasRange);
    EXPECT_EQ(0.0, eu.low);
    EXPECT_EQ(250.5, eu.high);
    EXPECT_EQ(WideToAnsi(L"м3/ч"), eu.units);
}

TEST_F(ModbusDialogs, TheDeviceDialogAndTheDiagnosticsFolderResetTheCounters) {
    ModbusDevice device;
    ASSERT_TRUE(device.Ok()) << "the test device does not answer (build/modbus_device.state)";
    device.Up();
    modbus::Model tree;
    const DWORD plc = tree.Add(0, modbus_tree::Device("PLC", device.Port(), 50));
    tree.Add(plc, modbus_tree::Tag("A", modbus::Table::kHoldingRegister, 0));
    ASSERT_TRUE(modbus_tree::LoadTree(*driver_, tree));
    auto requests = [&] {
        CObjectInfo info;
        driver_->GetObjectInfo(driver_->GetObjectID(0, "PLC._Diagnostics.Requests"), info);
        return info.value.Type() == VT_I4 ? V_I4(info.value.Get()) : -1;
    };
    driver_->Start(0);
    const DWORD start = GetTickCount();
    while (requests() < 2 && GetTickCount() - start < 10000) {
        driver_->Update(0);
        Sleep(50);
    }
    ASSERT_GE(requests(), 2);

    // Edit on the folder asks first; No keeps the counts.
    WithDialog(
        kComplaint,
        [&] { driver_->EditObject(driver_->GetObjectID(0, "PLC._Diagnostics"), nullptr); },
        [&](HWND question) { PostMessageW(question, WM_COMMAND, IDNO, 0); });
    EXPECT_GE(requests(), 2);

    WithDialog(
        kEditTitle, [&] { driver_->EditObject(driver_->GetObjectID(0, "PLC"), nullptr); },
        [&](HWND dialog) {
            EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kResetDiagnostics)));
            EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kImportCsv)));
            EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, kExportCsv)));
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kResetDiagnostics, BN_CLICKED), 0);
            HWND done = WaitForDialog(kComplaint, 10000);
            EXPECT_NE(nullptr, done) << "the reset is confirmed";
            if (done) PostMessageW(done, WM_COMMAND, IDOK, 0);
            const DWORD asked = GetTickCount();
            while (done && IsWindow(done) && GetTickCount() - asked < 10000) Sleep(50);
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        });
    driver_->Stop(0);
    EXPECT_EQ(0, requests()) << "at once, before the next update";

    WithDialog(
        kEditTitle, [&] { driver_->EditObject(driver_->GetObjectID(0, "PLC.A"), nullptr); },
        [&](HWND dialog) {
            EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, kResetDiagnostics)));
            EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, kImportCsv)));
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        });
}

}  // namespace
