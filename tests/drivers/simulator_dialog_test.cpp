// The simulator's own dialogs, driven as a user would: a second thread finds the window,
// fills its fields and presses its buttons while DLLAddObject or DLLEditObject waits.
// Needs a display (the tests run under Xvfb).
#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include <string>

#include "ansi_text.h"
#include "dialog_driver.h"
#include "driver_list.h"
#include "probe_driver_files.h"

namespace {

constexpr const wchar_t* kAddTitle = L"Новый объект симулятора";
constexpr const wchar_t* kEditTitle = L"Свойства объекта симулятора";
enum : int { kKind = 1001, kName, kDescription, kType, kBehaviour, kLow, kHigh, kPeriod, kValue };

std::wstring TextOf(HWND dialog, int id) {
    return DialogItemText(dialog, id);
}

class SimulatorDialogs : public testing::Test {
  protected:
    void SetUp() override {
        WriteTextFile(dir_.File("Drivers.cfg"), TestProgramDirectory() + "\\simulator.dll|Sim\n");
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        ASSERT_EQ(1u, g_drivers.Snapshot()->drivers.size());
        driver_ = g_drivers.Snapshot()->drivers[0];
        driver_->DefaultSettings();
    }
    void TearDown() override {
        driver_.reset();
        g_drivers.Unload();
    }

    // Runs `call` (which opens a modal dialog) while `user` acts on the dialog titled `title`.
    void WithDialog(const wchar_t* title, const std::function<void()>& call,
                    const std::function<void(HWND)>& user) {
        const DialogOutcome outcome = ::WithDialog(title, call, user, L"Симулятор");
        EXPECT_TRUE(outcome.found) << "the dialog did not appear";
        EXPECT_TRUE(outcome.closed) << "the dialog did not close";
    }

    ScratchDirectory dir_;
    std::shared_ptr<CDriver> driver_;
};

TEST_F(SimulatorDialogs, AddCreatesATagWithTheChosenSettings) {
    const DWORD sensors = driver_->GetObjectID(0, "Boiler.Sensors");
    WithDialog(
        kAddTitle, [&] { driver_->AddObject(sensors, nullptr); },
        [](HWND dialog) {
            EXPECT_EQ(L"ОК", TextOf(dialog, IDOK));
            EXPECT_EQ(L"Отмена", TextOf(dialog, IDCANCEL));
            EXPECT_EQ(L"Тег", TextOf(dialog, kKind));
            SetDlgItemTextW(dialog, kName, L"Flow");
            SetDlgItemTextW(dialog, kDescription, L"Расход, м³/ч");
            SendDlgItemMessageW(dialog, kType, CB_SETCURSEL, 4, 0);  // VT_R4
            SendDlgItemMessageW(dialog, kBehaviour, CB_SETCURSEL, 2, 0);
            SetDlgItemTextW(dialog, kLow, L"0");
            SetDlgItemTextW(dialog, kHigh, L"50,5");
            SetDlgItemTextW(dialog, kPeriod, L"5");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
    const DWORD flow = driver_->GetObjectID(0, "Boiler.Sensors.Flow");
    ASSERT_NE(0u, flow);
    driver_->Update(0);
    CObjectInfo info;
    driver_->GetObjectInfo(flow, info);
    EXPECT_EQ(VT_R4, info.value.Type());
    EXPECT_EQ(WideToAnsi(L"Расход, м³/ч"), info.description);
    EXPECT_TRUE(info.readOnly) << "a simulated tag cannot be written";
    EXPECT_LE(V_R4(info.value.Get()), 50.5f);
}

TEST_F(SimulatorDialogs, ADuplicateNameIsRefusedWithAMessage) {
    const DWORD sensors = driver_->GetObjectID(0, "Boiler.Sensors");
    bool warned = false;
    WithDialog(
        kAddTitle, [&] { driver_->AddObject(sensors, nullptr); },
        [&](HWND dialog) {
            SetDlgItemTextW(dialog, kName, L"Temperature");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
            HWND message = WaitForDialog(L"Симулятор", 10000);
            warned = message != nullptr;
            if (message) PostMessageW(message, WM_COMMAND, IDOK, 0);
            Sleep(200);
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        });
    EXPECT_TRUE(warned);
    std::vector<std::string> tags;
    driver_->EnumTags(tags, sensors);
    EXPECT_EQ((std::vector<std::string>{"Temperature", "Pressure", "Level"}), tags);
}

TEST_F(SimulatorDialogs, EditShowsAndChangesTheSettings) {
    const DWORD setpoint = driver_->GetObjectID(0, "Boiler.Control.Setpoint");
    WithDialog(
        kEditTitle, [&] { driver_->EditObject(setpoint, nullptr); },
        [](HWND dialog) {
            EXPECT_EQ(L"Setpoint", TextOf(dialog, kName));
            EXPECT_EQ(L"75", TextOf(dialog, kValue));
            EXPECT_EQ(L"VT_R8", TextOf(dialog, kType));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, kKind)));
            SetDlgItemTextW(dialog, kValue, L"80");
            SetDlgItemTextW(dialog, kDescription, L"Новая уставка");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
    CObjectInfo info;
    driver_->GetObjectInfo(setpoint, info);
    EXPECT_EQ(80.0, V_R8(info.value.Get()));
    EXPECT_EQ(WideToAnsi(L"Новая уставка"), info.description);
}

TEST_F(SimulatorDialogs, CancelChangesNothing) {
    WithDialog(
        kAddTitle, [&] { driver_->AddObject(0, nullptr); },
        [](HWND dialog) {
            EXPECT_EQ(L"Устройство", TextOf(dialog, kKind)) << "only devices at the top";
            SetDlgItemTextW(dialog, kName, L"Extra");
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        });
    std::vector<std::string> devices;
    driver_->EnumChildren(devices, 0);
    EXPECT_EQ((std::vector<std::string>{"Boiler", "Line", "Reserve"}), devices);
}

}  // namespace
