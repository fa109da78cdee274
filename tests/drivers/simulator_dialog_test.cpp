// The simulator's own dialogs, driven as a user would: a second thread finds the window,
// fills its fields and presses its buttons while DLLAddObject or DLLEditObject waits.
// Needs a display (the tests run under Xvfb).
#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <thread>

#include "ansi_text.h"
#include "driver_list.h"
#include "probe_driver_files.h"

namespace {

constexpr const wchar_t* kAddTitle = L"Новый объект симулятора";
constexpr const wchar_t* kEditTitle = L"Свойства объекта симулятора";
enum : int { kKind = 1001, kName, kDescription, kType, kBehaviour, kLow, kHigh, kPeriod, kValue };

// A visible dialog of this process with that title: tests run in parallel on one display.
HWND FindOwnDialog(const wchar_t* title) {
    struct Search {
        const wchar_t* title;
        HWND found;
    } search{title, nullptr};
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            DWORD process = 0;
            GetWindowThreadProcessId(h, &process);
            wchar_t text[128] = L"", kind[32] = L"";
            GetWindowTextW(h, text, 128);
            GetClassNameW(h, kind, 32);
            if (process != GetCurrentProcessId() || !IsWindowVisible(h) ||
                wcscmp(kind, L"#32770") != 0 || wcscmp(text, s->title) != 0)
                return TRUE;
            s->found = h;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const wchar_t* title, DWORD ms = 20000) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (HWND h = FindOwnDialog(title)) return h;
        Sleep(20);
    }
    return nullptr;
}

std::wstring TextOf(HWND dialog, int id) {
    wchar_t text[256] = L"";
    GetDlgItemTextW(dialog, id, text, 256);
    return text;
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
        bool found = false, closed = false;
        std::thread person([&] {
            HWND dialog = WaitForWindow(title);
            found = dialog != nullptr;
            if (!dialog) return;
            user(dialog);
            for (int i = 0; i < 500 && !(closed = !IsWindow(dialog)); ++i) Sleep(20);
            if (closed) return;
            // Still open: most likely a complaint. Dismiss everything so the test ends.
            if (HWND message = FindOwnDialog(L"Симулятор"))
                PostMessageW(message, WM_COMMAND, IDOK, 0);
            Sleep(200);
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        });
        call();
        person.join();
        EXPECT_TRUE(found) << "the dialog did not appear";
        EXPECT_TRUE(closed) << "the dialog did not close";
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
            HWND message = WaitForWindow(L"Симулятор", 10000);
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
