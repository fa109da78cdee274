// The configurator window in this process, driven as a user would through its commands and
// keys, over the probe driver and the simulator (with its own dialogs, on the tests' X
// server). The user's file dialogs and questions are stood in for.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ansi_text.h"
#include "configurator.h"
#include "dialog_driver.h"
#include "driver_list.h"
#include "probe_driver_files.h"
#include "reporting_mode.h"
#include "resource_ids.h"

namespace {

constexpr const wchar_t* kSimAddTitle = L"Новый объект симулятора";
constexpr const wchar_t* kSimEditTitle = L"Свойства объекта симулятора";
enum : int { kSimName = 1002, kSimDescription = 1003 };

class Configurator : public testing::Test {
  protected:
    void TearDown() override {
        frame_.reset();
        g_drivers.Unload();
    }

    void LoadDrivers(const std::string& list) {
        WriteTextFile(dir_.File("Drivers.cfg"), list);
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
    }
    std::string Probe(const std::string& name, const std::string& config) {
        return InstallProbe(dir_.File(name), config + "log=" + dir_.File(name + ".log") + "\n");
    }
    std::string Simulator() { return TestProgramDirectory() + "\\simulator.dll"; }
    std::shared_ptr<CDriver> Driver(size_t index) {
        return g_drivers.Snapshot()->drivers.at(index);
    }

    void OpenWindow() {
        ConfiguratorServices services;
        services.reloadDrivers = [this] {
            ++reloads_;
            g_drivers.Unload();
            g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        };
        services.askPathToOpen = [this](HWND) { return Next(openAnswers_); };
        services.askPathToSave = [this](HWND) {
            ++saveDialogs_;
            return Next(saveAnswers_);
        };
        services.askToSave = [this](HWND, const std::wstring& question) {
            questions_.push_back(question);
            return closeAnswer_;
        };
        services.tell = [this](HWND, const std::wstring& message) { told_.push_back(message); };
        services.closed = [this] { closed_ = true; };
        frame_ = std::make_unique<CConfigurator>(services);
        ASSERT_TRUE(frame_->Create(GetModuleHandleW(nullptr)));
        ShowWindow(frame_->Window(), SW_SHOWNOACTIVATE);
    }
    static std::optional<std::string> Next(std::deque<std::optional<std::string>>& answers) {
        if (answers.empty()) return std::nullopt;
        std::optional<std::string> answer = answers.front();
        answers.pop_front();
        return answer;
    }

    void Command(UINT id) { SendMessageW(frame_->Window(), WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    // A key as the message loop sees it: true when the window took it as a command key.
    bool Key(UINT virtualKey) {
        MSG message{frame_->Window(), WM_KEYDOWN, virtualKey, 1};
        return frame_->PreTranslateMessage(message);
    }
    void Pump(DWORD ms) {
        const DWORD start = GetTickCount();
        MSG message;
        while (GetTickCount() - start < ms) {
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (frame_->PreTranslateMessage(message)) continue;
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            Sleep(10);
        }
    }

    HWND Tree() { return frame_->Browser().Control(); }
    HWND List() { return frame_->Items().Control(); }
    std::wstring NodeText(HTREEITEM node) {
        wchar_t text[256] = L"";
        TVITEMW item{};
        item.mask = TVIF_TEXT;
        item.hItem = node;
        item.pszText = text;
        item.cchTextMax = 256;
        SendMessageW(Tree(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        return text;
    }
    // The tree as text: "A[B[C],D],E".
    std::wstring TreeText(HTREEITEM parent = nullptr) {
        std::wstring text;
        for (HTREEITEM node = parent ? TreeView_GetChild(Tree(), parent) : TreeView_GetRoot(Tree());
             node; node = TreeView_GetNextSibling(Tree(), node)) {
            if (!text.empty()) text += L",";
            text += NodeText(node);
            if (TreeView_GetChild(Tree(), node)) text += L"[" + TreeText(node) + L"]";
        }
        return text;
    }
    HTREEITEM Find(const std::vector<std::wstring>& path) {
        HTREEITEM node = nullptr;
        for (const std::wstring& name : path) {
            HTREEITEM child = node ? TreeView_GetChild(Tree(), node) : TreeView_GetRoot(Tree());
            while (child && NodeText(child) != name) child = TreeView_GetNextSibling(Tree(), child);
            if (!child) return nullptr;
            node = child;
        }
        return node;
    }
    void Select(const std::vector<std::wstring>& path) {
        HTREEITEM node = Find(path);
        ASSERT_NE(nullptr, node) << WideToAnsi(path.back());
        TreeView_SelectItem(Tree(), node);
        frame_->SetActiveView(&frame_->Browser());
    }
    std::vector<std::vector<std::wstring>> Rows() {
        std::vector<std::vector<std::wstring>> rows;
        const int count = ListView_GetItemCount(List());
        for (int row = 0; row < count; ++row) {
            std::vector<std::wstring> cells;
            for (int column = 0; column < 5; ++column) {
                wchar_t text[256] = L"";
                LVITEMW item{};
                item.iSubItem = column;
                item.pszText = text;
                item.cchTextMax = 256;
                SendMessageW(List(), LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
                cells.push_back(text);
            }
            rows.push_back(cells);
        }
        return rows;
    }
    std::vector<std::wstring> Column(int column) {
        std::vector<std::wstring> cells;
        for (const auto& row : Rows()) cells.push_back(row[column]);
        return cells;
    }
    void SelectRow(const std::wstring& name) {
        const auto rows = Rows();
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i][0] == name) {
                ListView_SetItemState(List(), static_cast<int>(i), LVIS_SELECTED, LVIS_SELECTED);
                frame_->SetActiveView(&frame_->Items());
                return;
            }
        ADD_FAILURE() << "no row " << WideToAnsi(name);
    }
    std::wstring Status(int part = 0) {
        wchar_t text[256] = L"";
        SendMessageW(frame_->StatusBar(), SB_GETTEXTW, part, reinterpret_cast<LPARAM>(text));
        return text;
    }
    // The scanning items' states as the menu shows them when it opens: "+" enabled, "-" grayed.
    std::string ScanMenuStates() {
        HMENU popup = GetSubMenu(GetMenu(frame_->Window()), 2);
        SendMessageW(frame_->Window(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), 2);
        std::string states;
        for (UINT id : {ID_SCAN_PREPARE, ID_SCAN_SINGLE, ID_SCAN_END, ID_SCAN_START, ID_SCAN_STOP})
            states += (GetMenuState(popup, id, MF_BYCOMMAND) & MF_GRAYED) ? "-" : "+";
        return states;
    }
    size_t Calls(const std::string& dll, const std::string& entry) {
        return CountCalls(ReadProbeLog(dll), entry);
    }

    ScratchDirectory dir_;
    std::unique_ptr<CConfigurator> frame_;
    std::deque<std::optional<std::string>> openAnswers_, saveAnswers_;
    int saveDialogs_ = 0, reloads_ = 0;
    int closeAnswer_ = IDCANCEL;
    std::vector<std::wstring> questions_, told_;
    bool closed_ = false;
};

std::wstring MenuText(HMENU menu, UINT position) {
    wchar_t text[128] = L"";
    GetMenuStringW(menu, position, text, 128, MF_BYPOSITION);
    return text;
}

TEST_F(Configurator, TheFrameHasItsCaptionMenuKeysBarsAndPanes) {
    OpenWindow();
    wchar_t caption[64] = L"";
    GetWindowTextW(frame_->Window(), caption, 64);
    EXPECT_STREQ(L"OPC Server Configurator", caption);

    HMENU menu = GetMenu(frame_->Window());
    ASSERT_EQ(4, GetMenuItemCount(menu));
    EXPECT_EQ(L"&Файлы", MenuText(menu, 0));
    EXPECT_EQ(L"&Изменить", MenuText(menu, 1));
    EXPECT_EQ(L"&Сканирование", MenuText(menu, 2));
    EXPECT_EQ(L"С&ервер", MenuText(menu, 3));
    EXPECT_EQ(ID_REPORT_CHANGES_ONLY, GetMenuItemID(GetSubMenu(menu, 3), 0));
    HMENU files = GetSubMenu(menu, 0), edit = GetSubMenu(menu, 1), scan = GetSubMenu(menu, 2);
    EXPECT_EQ(L"&Новый\tCtrl+N", MenuText(files, 0));
    EXPECT_EQ(L"Сохранить &Как...", MenuText(files, 3));
    EXPECT_EQ(ID_APP_EXIT, GetMenuItemID(files, 5));
    EXPECT_EQ(L"Н&астроить", MenuText(edit, 1));
    EXPECT_EQ(ID_EDIT_OBJECT, GetMenuItemID(edit, 1));
    EXPECT_EQ(L"Останов\tShift+F5", MenuText(scan, 5));
    EXPECT_EQ(ID_SCAN_STOP, GetMenuItemID(scan, 5));
    EXPECT_EQ(edit, frame_->EditMenu()) << "the panes' context menu";

    // The key table, as the message loop uses it.
    HACCEL table = LoadAcceleratorsW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME));
    ACCEL keys[32];
    const int count = CopyAcceleratorTableW(table, keys, 32);
    std::vector<std::string> got;
    for (int i = 0; i < count; ++i)
        got.push_back(std::to_string(keys[i].key) + ((keys[i].fVirt & FCONTROL) ? "c" : "") +
                      ((keys[i].fVirt & FSHIFT) ? "s" : "") + "=" + std::to_string(keys[i].cmd));
    EXPECT_EQ(
        (std::vector<std::string>{"78c=57600", "79c=57601", "83c=57603", "45=32771", "13=32768",
                                  "46=32769", "121=32775", "122=32776", "123=32777", "116=32778",
                                  "116s=32779", "117=57680", "117s=57681"}),
        got);

    // Toolbar: the buttons in order, About always disabled, tool tips from the strings.
    HWND bar = frame_->ToolBar();
    ASSERT_EQ(9, SendMessageW(bar, TB_BUTTONCOUNT, 0, 0));
    std::vector<int> ids;
    for (int i = 0; i < 9; ++i) {
        TBBUTTON button{};
        SendMessageW(bar, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(&button));
        ids.push_back(button.idCommand);
    }
    EXPECT_EQ((std::vector<int>{57600, 57603, 57601, 0, 32768, 32769, 32771, 0, 57664}), ids);
    EXPECT_FALSE(SendMessageW(bar, TB_ISBUTTONENABLED, ID_APP_ABOUT, 0));
    EXPECT_TRUE(SendMessageW(bar, TB_ISBUTTONENABLED, ID_FILE_SAVE, 0));
    NMTTDISPINFOW tip{};
    tip.hdr.hwndFrom = bar;
    tip.hdr.idFrom = ID_ADD_OBJECT;
    tip.hdr.code = TTN_GETDISPINFOW;
    SendMessageW(frame_->Window(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&tip));
    ASSERT_NE(nullptr, tip.lpszText);
    EXPECT_STREQ(L"Добавить", tip.lpszText);

    // Status bar: four panes, "Ready", the prompt of the menu item under the cursor.
    EXPECT_EQ(4, SendMessageW(frame_->StatusBar(), SB_GETPARTS, 0, 0));
    EXPECT_EQ(L"Ready", Status());
    SendMessageW(frame_->Window(), WM_MENUSELECT, MAKEWPARAM(ID_FILE_OPEN, MF_STRING),
                 reinterpret_cast<LPARAM>(files));
    EXPECT_EQ(L"Открыть конфигурацию сервера из файла", Status());
    SendMessageW(frame_->Window(), WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
    EXPECT_EQ(L"Ready", Status());

    // The tree pane starts 300 pixels wide; both panes share the seven icons.
    RECT tree;
    GetWindowRect(frame_->Browser().Window(), &tree);
    EXPECT_EQ(CConfigurator::kTreePaneWidth, tree.right - tree.left);
    EXPECT_EQ(7, ImageList_GetImageCount(frame_->Images()));
    EXPECT_EQ(frame_->Images(), TreeView_GetImageList(Tree(), TVSIL_NORMAL));
    EXPECT_EQ(frame_->Images(), ListView_GetImageList(List(), LVSIL_SMALL));
    std::vector<std::wstring> headers;
    for (int i = 0; i < 5; ++i) {
        wchar_t text[32] = L"";
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT;
        column.pszText = text;
        column.cchTextMax = 32;
        SendMessageW(List(), LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
        headers.push_back(text);
    }
    EXPECT_EQ(
        (std::vector<std::wstring>{L"Item ID", L"Data Type", L"Description", L"Value", L"Clients"}),
        headers);
}

TEST_F(Configurator, TheTreeShowsBranchesAsDeepAsTheyGoAndEndsOnCyclesAndUnknownNames) {
    LoadDrivers(Probe("first.dll",
                      "root=First\nbranch=A\nbranch=A.B\nbranch=A.B.C\nbranch=D\n"
                      "tag=A.T:R4:1\n") +
                "|One\n" + Probe("loop.dll", "root=Loop\nbranch=X\ncyclic=1\n") + "|Two\n" +
                Probe("lost.dll", "root=Lost\nbranch=Y\nunresolvable=1\n") + "|Three\n");
    OpenWindow();
    // Top-level nodes in list order show the root's name; tags stay out of the tree; a child
    // that is its own ancestor ("Back") or resolves to the root is left out.
    EXPECT_EQ(L"First[A[B[C]],D],Loop[X],Lost", TreeText());
    // Collapsed, and a rebuild of a node keeps it so.
    HTREEITEM first = Find({L"First"});
    EXPECT_FALSE(TreeView_GetItemState(Tree(), first, TVIS_EXPANDED) & TVIS_EXPANDED);
}

TEST_F(Configurator, AnEmptyDriverListGivesAnEmptyTreeAndCommandsDoNothing) {
    LoadDrivers("");
    OpenWindow();
    EXPECT_EQ(L"", TreeText());
    for (UINT id : {ID_ADD_OBJECT, ID_EDIT_OBJECT, ID_REMOVE_OBJECT}) Command(id);
    EXPECT_FALSE(frame_->HasUnsavedChanges());
    frame_->Items().Refresh();
    EXPECT_TRUE(Rows().empty()) << "a refresh before any selection";
}

TEST_F(Configurator, SelectingANodeListsItsTagsSortedWithTypeDescriptionValueAndClients) {
    const std::string dll =
        Probe("p.dll",
              "root=Probe\nbranch=Dev\ntag=Dev.Zeta:R4:21.5\ntag=Dev.Alpha:I2:-3\n"
              "tag=Dev.Word:BSTR:hello\ntag=Dev.Flag:BOOL:1\n"
              "tag=Dev.Small:UI1:7\nbranch=Dev.Sub\ntag=Top:I4:5\n");
    LoadDrivers(dll + "|Probe\n");
    OpenWindow();
    Select({L"Probe", L"Dev"});
    auto rows = Rows();
    ASSERT_EQ(5u, rows.size());
    // The decimal separator is the user's (a comma in Russia).
    EXPECT_TRUE(rows[4][3] == L"21,5" || rows[4][3] == L"21.5") << WideToAnsi(rows[4][3]);
    rows[4][3] = L"21.5";
    EXPECT_EQ((std::vector<std::vector<std::wstring>>{
                  {L"Alpha", L"short int", L"probe object 3", L"-3", L"0"},
                  {L"Flag", L"bool", L"probe object 5", L"-1", L"0"},
                  {L"Small", L"unsigned byte", L"probe object 6", L"7", L"0"},
                  {L"Word", L"string", L"probe object 4", L"hello", L"0"},
                  {L"Zeta", L"real", L"probe object 2", L"21.5", L"0"},
              }),
              rows);
    // The driver's own node lists the tags right under its root.
    Select({L"Probe"});
    EXPECT_EQ((std::vector<std::wstring>{L"Top"}), Column(0));

    // The client count as the driver reports it, at the next refresh.
    const DWORD top = Driver(0)->GetObjectID(0, "Top");
    Driver(0)->ChangeClientCount(top, 2);
    frame_->Items().Refresh();
    EXPECT_EQ(L"2", Rows().at(0).at(4));
}

TEST_F(Configurator, TheSimulatorsArraysDatesAndCyrillicTextsReadWell) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    EXPECT_EQ(L"Симулятор[Boiler[Sensors,Control],Line,Reserve]", TreeText());
    Select({L"Симулятор", L"Line"});
    const auto rows = Rows();
    ASSERT_EQ(7u, rows.size());
    EXPECT_EQ(L"Batch", rows[0][0]);
    EXPECT_EQ(L"LastService", rows[3][0]);
    EXPECT_EQ(L"date/time", rows[3][1]);
    EXPECT_EQ(L"Дата последнего обслуживания", rows[3][2]);
    EXPECT_EQ(L"Positions", rows[4][0]);
    EXPECT_EQ(L"array of long int", rows[4][1]);
    EXPECT_EQ(L"Profile", rows[5][0]);
    EXPECT_EQ(L"array of double", rows[5][1]);
    EXPECT_EQ(L'{', rows[5][3].front()) << WideToAnsi(rows[5][3]);
}

TEST_F(Configurator, TreeCommandsAddEditAndRemoveThroughTheDriversDialogs) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    Select({L"Симулятор", L"Boiler", L"Sensors"});
    DialogOutcome added = WithDialog(
        kSimAddTitle, [&] { Command(ID_ADD_OBJECT); },
        [](HWND dialog) {
            SetDlgItemTextW(dialog, kSimName, L"Flow");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        },
        L"Симулятор");
    ASSERT_TRUE(added.found && added.closed);
    EXPECT_EQ((std::vector<std::wstring>{L"Flow", L"Level", L"Pressure", L"Temperature"}),
              Column(0))
        << "the list shows the node's tags again";
    EXPECT_TRUE(frame_->HasUnsavedChanges());

    // Edit of the selected node (Enter, or a double click) with the driver's own dialog.
    Select({L"Симулятор", L"Line"});
    DialogOutcome edited = WithDialog(
        kSimEditTitle, [&] { Command(ID_EDIT_OBJECT); },
        [](HWND dialog) {
            EXPECT_EQ(L"Line", DialogItemText(dialog, kSimName));
            SetDlgItemTextW(dialog, kSimName, L"Conveyor");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        },
        L"Симулятор");
    ASSERT_TRUE(edited.found && edited.closed);
    // The selected node keeps its place; only the nodes below it are rebuilt.
    EXPECT_EQ(L"Conveyor", NodeText(TreeView_GetSelection(Tree())));

    // Remove: a branch goes with its subtree; a driver's own node stays.
    Select({L"Симулятор", L"Boiler"});
    Command(ID_REMOVE_OBJECT);
    EXPECT_EQ(L"Симулятор[Conveyor,Reserve]", TreeText());
    std::vector<std::string> devices;
    Driver(0)->EnumChildren(devices, 0);
    EXPECT_EQ((std::vector<std::string>{"Conveyor", "Reserve"}), devices);
    Select({L"Симулятор"});
    Command(ID_REMOVE_OBJECT);
    EXPECT_EQ(L"Симулятор[Conveyor,Reserve]", TreeText());
}

// A driver's own objects: the Modbus driver's diagnostics folder is listed like any folder,
// its tags with their values, and a removal the driver refuses leaves the node in place.
TEST_F(Configurator, ADevicesDiagnosticsFolderIsShownAndStaysWhenRemoved) {
    LoadDrivers(TestProgramDirectory() + "\\modbus.dll|Modbus\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    ASSERT_NE(nullptr, Find({L"Modbus", L"PLC1", L"_Diagnostics"}));
    Select({L"Modbus", L"PLC1", L"_Diagnostics"});
    const std::vector<std::wstring> tags = Column(0);
    EXPECT_NE(tags.end(), std::find(tags.begin(), tags.end(), L"Requests"));
    EXPECT_NE(tags.end(), std::find(tags.begin(), tags.end(), L"LastError"));
    Command(ID_REMOVE_OBJECT);
    EXPECT_NE(nullptr, Find({L"Modbus", L"PLC1", L"_Diagnostics"}));
    EXPECT_NE(0u, Driver(0)->GetObjectID(0, "PLC1._Diagnostics"));
}

TEST_F(Configurator, ListCommandsActOnTheSelectedRowAndAddUnderTheTreesNode) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    Select({L"Симулятор", L"Boiler", L"Control"});
    frame_->SetActiveView(&frame_->Items());
    // Without a selected row, Edit and Remove do nothing: they never fall back to the node.
    ListView_SetItemState(List(), -1, 0, LVIS_SELECTED);
    Command(ID_REMOVE_OBJECT);
    EXPECT_EQ(4u, Rows().size());
    EXPECT_FALSE(frame_->HasUnsavedChanges());

    SelectRow(L"Mode");
    DialogOutcome edited = WithDialog(
        kSimEditTitle, [&] { Command(ID_EDIT_OBJECT); },
        [](HWND dialog) {
            EXPECT_EQ(L"Mode", DialogItemText(dialog, kSimName));
            SetDlgItemTextW(dialog, kSimDescription, L"Новый режим");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        },
        L"Симулятор");
    ASSERT_TRUE(edited.found && edited.closed);
    EXPECT_EQ(L"Новый режим", Rows().at(1).at(2));

    SelectRow(L"Alarm");
    Command(ID_REMOVE_OBJECT);
    EXPECT_EQ((std::vector<std::wstring>{L"Mode", L"PumpOn", L"Setpoint"}), Column(0));

    // Add with a row selected still adds under the tree's node.
    SelectRow(L"Mode");
    DialogOutcome added = WithDialog(
        kSimAddTitle, [&] { Command(ID_ADD_OBJECT); },
        [](HWND dialog) {
            SetDlgItemTextW(dialog, kSimName, L"Valve");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        },
        L"Симулятор");
    ASSERT_TRUE(added.found && added.closed);
    EXPECT_EQ((std::vector<std::wstring>{L"Mode", L"PumpOn", L"Setpoint", L"Valve"}), Column(0));
    EXPECT_TRUE(frame_->HasUnsavedChanges());
}

TEST_F(Configurator, SaveAsThenSaveWritesTheSameFileWithOneDialog) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    const std::string file = dir_.File("plant.cfg");
    saveAnswers_.push_back(file);
    Command(ID_FILE_SAVE_AS);
    EXPECT_EQ(1, saveDialogs_);
    EXPECT_EQ(file, frame_->CurrentFile());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));
    DeleteFileA(file.c_str());
    Command(ID_FILE_SAVE);
    EXPECT_EQ(1, saveDialogs_) << "Save goes to the file Save As chose";
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));

    // A file that cannot be written is said so, and the work counts as unsaved.
    Select({L"Симулятор", L"Boiler"});
    Command(ID_REMOVE_OBJECT);
    saveAnswers_.push_back(dir_.File("no such directory\\plant.cfg"));
    Command(ID_FILE_SAVE_AS);
    EXPECT_EQ(1u, told_.size());
    EXPECT_TRUE(frame_->HasUnsavedChanges());
}

TEST_F(Configurator, OpenLoadsACompoundFileAndIgnoresAnythingElse) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    const std::string saved = dir_.File("saved.cfg");
    saveAnswers_.push_back(saved);
    Command(ID_FILE_SAVE_AS);
    Select({L"Симулятор", L"Reserve"});
    Command(ID_REMOVE_OBJECT);
    EXPECT_EQ(L"Симулятор[Boiler[Sensors,Control],Line]", TreeText());

    const std::string text = dir_.File("text.cfg");
    WriteTextFile(text, "not a compound file");
    openAnswers_.push_back(text);
    HTREEITEM before = TreeView_GetRoot(Tree());
    Command(ID_FILE_OPEN);
    EXPECT_EQ(before, TreeView_GetRoot(Tree())) << "the tree was not even rebuilt";
    openAnswers_.push_back(std::nullopt);
    Command(ID_FILE_OPEN);
    EXPECT_EQ(before, TreeView_GetRoot(Tree()));

    openAnswers_.push_back(saved);
    Command(ID_FILE_OPEN);
    EXPECT_EQ(L"Симулятор[Boiler[Sensors,Control],Line,Reserve]", TreeText());
    EXPECT_EQ(saved, frame_->CurrentFile());
    EXPECT_TRUE(frame_->HasUnsavedChanges()) << "another configuration is not the saved one";
}

TEST_F(Configurator, NewReloadsEveryDriverAndRebuildsTheTree) {
    const std::string dll = Probe("p.dll", "root=Probe\nbranch=Dev\n");
    LoadDrivers(dll + "|Probe\n");
    OpenWindow();
    const std::weak_ptr<CDriver> before = Driver(0);
    Select({L"Probe", L"Dev"});
    Command(ID_FILE_NEW);
    EXPECT_EQ(1, reloads_);
    EXPECT_TRUE(before.expired()) << "a freshly loaded driver";
    EXPECT_EQ(L"Probe[Dev]", TreeText());
    EXPECT_TRUE(frame_->HasUnsavedChanges());
    // The list still names the old driver: a refresh must not reach it.
    frame_->Items().Refresh();
    EXPECT_TRUE(Rows().empty());
}

// The setting changes the running server at once, and the menu shows what holds now.
TEST_F(Configurator, ReportChangesOnlyTogglesTheRunningServerAndItsCheckMark) {
    OpenWindow();
    const bool before = ReportsChangesOnly();
    HMENU popup = GetSubMenu(GetMenu(frame_->Window()), 3);
    auto checked = [&] {
        SendMessageW(frame_->Window(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), 3);
        return (GetMenuState(popup, ID_REPORT_CHANGES_ONLY, MF_BYCOMMAND) & MF_CHECKED) != 0;
    };
    EXPECT_EQ(before, checked());
    Command(ID_REPORT_CHANGES_ONLY);
    EXPECT_EQ(!before, ReportsChangesOnly());
    EXPECT_EQ(!before, checked());
    Command(ID_REPORT_CHANGES_ONLY);
    EXPECT_EQ(before, ReportsChangesOnly());
    EXPECT_EQ(before, checked());
}

TEST_F(Configurator, ScanningCommandsFollowTheModeAndShareTheStartCount) {
    const std::string dll = Probe("p.dll", "root=Probe\ntag=T:I4:1\n");
    LoadDrivers(dll + "|Probe\n");
    OpenWindow();
    Select({L"Probe"});
    EXPECT_EQ(DebugScanning::ScanIdle, frame_->ScanningMode());
    EXPECT_EQ("+--+-", ScanMenuStates());
    // F11 in idle mode: the item is grayed, the key does nothing.
    Key(VK_F11);
    Command(ID_SCAN_SINGLE);
    EXPECT_EQ(0u, Calls(dll, "DLLUpdate"));

    EXPECT_TRUE(Key(VK_F10));
    EXPECT_EQ(DebugScanning::ScanStepping, frame_->ScanningMode());
    EXPECT_EQ("-++--", ScanMenuStates());
    EXPECT_EQ(1u, Calls(dll, "DLLStart"));
    for (int i = 0; i < 3; ++i) Key(VK_F11);
    EXPECT_EQ(3u, Calls(dll, "DLLUpdate"));
    const std::wstring status = Status();
    EXPECT_EQ(0u, status.find(L"Время последнего сканирования ")) << WideToAnsi(status);
    EXPECT_EQ(status.size() - 5, status.rfind(L" мсек"));
    Key(VK_F12);
    EXPECT_EQ(DebugScanning::ScanIdle, frame_->ScanningMode());
    EXPECT_EQ(1u, Calls(dll, "DLLStop"));

    // Continuous scanning: a tick every 250 ms until Stop, which stops the driver again.
    Key(VK_F5);
    EXPECT_EQ(DebugScanning::ScanRunning, frame_->ScanningMode());
    EXPECT_EQ("----+", ScanMenuStates());
    Pump(1500);
    Command(ID_SCAN_STOP);
    EXPECT_EQ(DebugScanning::ScanIdle, frame_->ScanningMode());
    const size_t updates = Calls(dll, "DLLUpdate");
    EXPECT_GE(updates, 3u + 2u);
    EXPECT_EQ(2u, Calls(dll, "DLLStop"));
    Pump(600);
    EXPECT_EQ(updates, Calls(dll, "DLLUpdate")) << "the timer is gone";

    // A driver the server's scan thread already runs is neither started nor stopped again.
    Driver(0)->Start(0);
    Command(ID_SCAN_PREPARE);
    Command(ID_SCAN_END);
    EXPECT_EQ(3u, Calls(dll, "DLLStart"));
    EXPECT_EQ(2u, Calls(dll, "DLLStop"));
    EXPECT_EQ(1, Driver(0)->StartCount());
    Driver(0)->Stop(0);
}

TEST_F(Configurator, ADebugScanChangesTheSimulatorsValuesInTheList) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    Select({L"Симулятор", L"Boiler"});
    Command(ID_SCAN_PREPARE);
    Command(ID_SCAN_SINGLE);
    const std::wstring first = Rows().at(0).at(3);  // Cycles, a counter
    Sleep(1100);
    Command(ID_SCAN_SINGLE);
    EXPECT_NE(first, Rows().at(0).at(3));
    Command(ID_SCAN_END);
}

TEST_F(Configurator, NewDuringADebugScanStartsTheReloadedDrivers) {
    const std::string dll = Probe("p.dll", "root=Probe\n");
    LoadDrivers(dll + "|Probe\n");
    OpenWindow();
    Command(ID_SCAN_PREPARE);
    Command(ID_FILE_NEW);
    EXPECT_EQ(1, Driver(0)->StartCount());
    Command(ID_SCAN_END);
    EXPECT_EQ(0, Driver(0)->StartCount());
}

TEST_F(Configurator, F6MovesBetweenThePanes) {
    LoadDrivers("");
    OpenWindow();
    EXPECT_EQ(&frame_->Browser(), frame_->ActiveView());
    EXPECT_TRUE(Key(VK_F6));
    EXPECT_EQ(&frame_->Items(), frame_->ActiveView());
    EXPECT_TRUE(Key(VK_F6));
    EXPECT_EQ(&frame_->Browser(), frame_->ActiveView());
}

TEST_F(Configurator, ClosingAsksToSaveOnlyAfterChanges) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    // Unchanged: closes without a question.
    SendMessageW(frame_->Window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(closed_);
    EXPECT_FALSE(IsWindow(frame_->Window()));
}

TEST_F(Configurator, ClosingAfterChangesCanBeCancelledOrSaveFirst) {
    LoadDrivers(Simulator() + "|Sim\n");
    Driver(0)->DefaultSettings();
    OpenWindow();
    Select({L"Симулятор", L"Reserve"});
    Command(ID_REMOVE_OBJECT);

    closeAnswer_ = IDCANCEL;
    SendMessageW(frame_->Window(), WM_CLOSE, 0, 0);
    ASSERT_EQ(1u, questions_.size());
    EXPECT_EQ(L"Конфигурация изменена. Сохранить изменения?", questions_[0]);
    EXPECT_FALSE(closed_);

    // Yes, but the save dialog is cancelled: nothing is saved, the window stays.
    closeAnswer_ = IDYES;
    saveAnswers_.push_back(std::nullopt);
    SendMessageW(frame_->Window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(closed_);

    const std::string file = dir_.File("kept.cfg");
    saveAnswers_.push_back(file);
    SendMessageW(frame_->Window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(closed_);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));
}

TEST_F(Configurator, ClosingAfterChangesWithoutSavingLosesThemOnRequest) {
    const std::string dll = Probe("p.dll", "root=Probe\nbranch=Dev\n");
    LoadDrivers(dll + "|Probe\n");
    OpenWindow();
    Select({L"Probe", L"Dev"});
    Command(ID_REMOVE_OBJECT);
    closeAnswer_ = IDNO;
    Command(ID_APP_EXIT);  // a close request, posted
    Pump(300);
    EXPECT_EQ(1u, questions_.size());
    EXPECT_TRUE(closed_);
    EXPECT_EQ(0, saveDialogs_);
}

}  // namespace
