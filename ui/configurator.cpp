#include "configurator.h"

#include <commctrl.h>
#include <cstdio>
#include <vector>

#include "ansi_text.h"
#include "configuration_file.h"
#include "driver_list.h"
#include "reporting_mode.h"
#include "reporting_setting.h"
#include "resource_ids.h"

namespace {

constexpr const wchar_t* kClassName = L"OPCServerVEXA.Configurator";
constexpr UINT kToolBarId = 0xE800;
constexpr UINT kStatusBarId = 0xE801;
constexpr int kEditMenuPosition = 1;
constexpr int kScanMenuPosition = 2;
constexpr int kServerMenuPosition = 3;
constexpr UINT kScanCommands[] = {ID_SCAN_PREPARE, ID_SCAN_SINGLE, ID_SCAN_END, ID_SCAN_START,
                                  ID_SCAN_STOP};
// Widths of the caps-lock, num-lock and scroll-lock indicators.
constexpr int kIndicatorWidths[] = {40, 40, 45};

// The first of the newline-separated fields of a resource string.
std::wstring FirstField(const std::wstring& text) {
    return text.substr(0, text.find(L'\n'));
}

}  // namespace

ConfiguratorServices ConfiguratorServices::Standard() {
    ConfiguratorServices services;
    services.reloadDrivers = [] {
        UnloadDrivers();
        LoadDrivers();
    };
    services.askPathToOpen = AskConfigurationPathToOpen;
    services.askPathToSave = AskConfigurationPathToSave;
    services.askToSave = [](HWND owner, const std::wstring& question) {
        return MessageBoxW(owner, question.c_str(), L"OPC Server Configurator",
                           MB_YESNOCANCEL | MB_ICONQUESTION);
    };
    services.tell = [](HWND owner, const std::wstring& message) {
        MessageBoxW(owner, message.c_str(), L"OPC Server Configurator", MB_OK | MB_ICONERROR);
    };
    services.closed = [] { PostQuitMessage(0); };
    return services;
}

CConfigurator::CConfigurator(ConfiguratorServices services) : services_(std::move(services)) {}

CConfigurator::~CConfigurator() {
    if (window_ && IsWindow(window_)) {
        DeleteAllNodes();
        DestroyWindow(window_);
    }
    if (images_) ImageList_Destroy(images_);
    if (toolImages_) ImageList_Destroy(toolImages_);
}

std::wstring CConfigurator::LoadText(UINT id) const {
    const wchar_t* text = nullptr;
    const int length = LoadStringW(instance_, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, length) : std::wstring();
}

bool CConfigurator::Create(HINSTANCE instance) {
    instance_ = instance;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES |
                                                        ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW kind{};
    kind.cbSize = sizeof(kind);
    kind.lpfnWndProc = WindowProc;
    kind.hInstance = instance;
    kind.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    kind.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    kind.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    kind.lpszClassName = kClassName;
    RegisterClassExW(&kind);

    accelerators_ = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    HMENU menu = LoadMenuW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    const std::wstring caption = FirstField(LoadText(IDR_MAINFRAME));
    window_ =
        CreateWindowExW(0, kClassName, caption.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                        CW_USEDEFAULT, CW_USEDEFAULT, 900, 600, nullptr, menu, instance, this);
    if (!window_) {
        if (menu) DestroyMenu(menu);
        return false;
    }
    if (!CreatePanes() || !CreateBars()) {
        DestroyWindow(window_);
        window_ = nullptr;
        return false;
    }
    images_ = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 0, 1);
    if (HBITMAP strip = static_cast<HBITMAP>(
            LoadImageW(instance, MAKEINTRESOURCEW(IDB_ICON_STRIP), IMAGE_BITMAP, 0, 0, 0))) {
        ImageList_AddMasked(images_, strip, RGB(0, 0, 0));
        DeleteObject(strip);
    }
    TreeView_SetImageList(browser_.Control(), images_, TVSIL_NORMAL);
    ListView_SetImageList(items_.Control(), images_, LVSIL_SMALL);
    Layout();
    active_ = &browser_;
    browser_.InitialUpdate();
    items_.InitialUpdate();
    return true;
}

bool CConfigurator::CreatePanes() {
    if (!splitter_.Create(instance_, window_)) return false;
    // A pane that cannot be made leaves its side empty; the window still works.
    browser_.Create(instance_, IDD_BROWSER_FORM, splitter_.Window(), IDC_BROWSER_TREE);
    items_.Create(instance_, IDD_ITEMS_FORM, splitter_.Window(), IDC_ITEMS_LIST);
    splitter_.SetPanes(browser_.Window(), items_.Window(), kTreePaneWidth);
    return true;
}

bool CConfigurator::CreateBars() {
    statusBar_ =
        CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0,
                        0, window_, reinterpret_cast<HMENU>(kStatusBarId), instance_, nullptr);
    if (!statusBar_) return false;

    // The toolbar's buttons as its resource declares them: size, then command ids (0 for a
    // separator); the bitmap holds one image per button in that order.
    std::vector<TBBUTTON> buttons;
    int imageWidth = 16, imageHeight = 15, image = 0;
    if (HRSRC found = FindResourceW(instance_, MAKEINTRESOURCEW(IDR_TOOLBAR),
                                    MAKEINTRESOURCEW(RT_TOOLBAR_DATA))) {
        const auto* data = static_cast<const WORD*>(LockResource(LoadResource(instance_, found)));
        const DWORD size = SizeofResource(instance_, found);
        if (data && size >= 8 && size >= 8 + 2u * data[3]) {
            imageWidth = data[1];
            imageHeight = data[2];
            for (WORD i = 0; i < data[3]; ++i) {
                TBBUTTON button{};
                button.idCommand = data[4 + i];
                if (button.idCommand == 0) {
                    button.fsStyle = BTNS_SEP;
                } else {
                    button.iBitmap = image++;
                    button.fsStyle = BTNS_BUTTON;
                    // About has no handler: its button stays disabled.
                    button.fsState = button.idCommand == ID_APP_ABOUT ? 0 : TBSTATE_ENABLED;
                }
                buttons.push_back(button);
            }
        }
    }
    toolBar_ = CreateWindowExW(0, TOOLBARCLASSNAMEW, L"",
                               WS_CHILD | WS_VISIBLE | TBSTYLE_TOOLTIPS | TBSTYLE_FLAT, 0, 0, 0, 0,
                               window_, reinterpret_cast<HMENU>(kToolBarId), instance_, nullptr);
    if (!toolBar_) return false;
    // The button images through a masked image list: the button face shows through, and a
    // disabled button is drawn from the image's shape rather than as a grey block.
    toolImages_ = ImageList_Create(imageWidth, imageHeight, ILC_COLOR24 | ILC_MASK, image, 0);
    if (HBITMAP strip = static_cast<HBITMAP>(
            LoadImageW(instance_, MAKEINTRESOURCEW(IDR_TOOLBAR), IMAGE_BITMAP, 0, 0, 0))) {
        ImageList_AddMasked(toolImages_, strip, RGB(192, 192, 192));
        DeleteObject(strip);
    }
    SendMessageW(toolBar_, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageW(toolBar_, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolImages_));
    SendMessageW(toolBar_, TB_ADDBUTTONSW, buttons.size(),
                 reinterpret_cast<LPARAM>(buttons.data()));
    SetStatusText(LoadText(IDS_IDLE_MESSAGE));
    UpdateIndicators();
    return true;
}

void CConfigurator::Layout() {
    if (!window_ || !statusBar_ || !toolBar_) return;
    SendMessageW(toolBar_, TB_AUTOSIZE, 0, 0);
    SendMessageW(statusBar_, WM_SIZE, 0, 0);
    RECT client, bar, status;
    GetClientRect(window_, &client);
    GetWindowRect(toolBar_, &bar);
    GetWindowRect(statusBar_, &status);
    const int top = bar.bottom - bar.top;
    const int bottom = client.bottom - (status.bottom - status.top);
    MoveWindow(splitter_.Window(), 0, top, client.right, bottom > top ? bottom - top : 0, TRUE);

    int edges[4];
    int right = client.right - GetSystemMetrics(SM_CXVSCROLL);
    for (int i = 3; i >= 1; --i) {
        edges[i] = right;
        right -= kIndicatorWidths[i - 1];
    }
    edges[0] = right > 0 ? right : 0;
    edges[3] = -1;
    SendMessageW(statusBar_, SB_SETPARTS, 4, reinterpret_cast<LPARAM>(edges));
    UpdateIndicators();
}

void CConfigurator::SetStatusText(const std::wstring& text, bool redrawNow) {
    if (!statusBar_) return;
    SendMessageW(statusBar_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (redrawNow) UpdateWindow(statusBar_);
}

void CConfigurator::UpdateIndicators() {
    if (!statusBar_) return;
    const struct {
        int key;
        UINT text;
    } indicators[] = {{VK_CAPITAL, IDS_INDICATOR_CAPS},
                      {VK_NUMLOCK, IDS_INDICATOR_NUM},
                      {VK_SCROLL, IDS_INDICATOR_SCRL}};
    for (int i = 0; i < 3; ++i) {
        const std::wstring text =
            (GetKeyState(indicators[i].key) & 1) ? LoadText(indicators[i].text) : std::wstring();
        SendMessageW(statusBar_, SB_SETTEXTW, i + 1, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

HMENU CConfigurator::EditMenu() const {
    return window_ ? GetSubMenu(GetMenu(window_), kEditMenuPosition) : nullptr;
}

void CConfigurator::DeleteAllNodes() {
    browser_.DeleteSubtree(nullptr);
}

bool CConfigurator::PreTranslateMessage(MSG& message) {
    if (!window_ || !IsWindow(window_)) return false;
    if (message.hwnd != window_ && !IsChild(window_, message.hwnd)) return false;
    if (message.message == WM_KEYUP) UpdateIndicators();
    if (message.message != WM_KEYDOWN && message.message != WM_SYSKEYDOWN) return false;
    // The scanning items' states are what decides whether their keys act: keep them current
    // even where the platform does not prepare the menu for an accelerator.
    UpdateScanMenu(GetSubMenu(GetMenu(window_), kScanMenuPosition));
    return accelerators_ && TranslateAcceleratorW(window_, accelerators_, &message);
}

void CConfigurator::UpdateScanMenu(HMENU popup) {
    if (!popup) return;
    for (UINT command : kScanCommands)
        EnableMenuItem(popup, command,
                       MF_BYCOMMAND | (scanning_.IsEnabled(command) ? MF_ENABLED : MF_GRAYED));
}

void CConfigurator::UpdateServerMenu(HMENU popup) {
    if (!popup) return;
    CheckMenuItem(popup, ID_REPORT_CHANGES_ONLY,
                  MF_BYCOMMAND | (ReportsChangesOnly() ? MF_CHECKED : MF_UNCHECKED));
}

// The running server's groups follow at their next cycle; the stored setting is what the
// server starts with next time. A setting that cannot be stored (the server is not
// registered) still holds for this run.
void CConfigurator::ToggleReportChangesOnly() {
    const bool on = !ReportsChangesOnly();
    SetReportingMode(on ? ReportingMode::kChangesOnly : ReportingMode::kEveryItem);
    StoreReportChangesOnly(on);
}

void CConfigurator::OnMenuSelect(UINT item, UINT flags, HMENU menu) {
    if (flags == 0xFFFF && !menu) {  // the menu closed
        SetStatusText(LoadText(IDS_IDLE_MESSAGE));
        return;
    }
    if (flags & (MF_POPUP | MF_SEPARATOR)) {
        SetStatusText(L"");
        return;
    }
    SetStatusText(FirstField(LoadText(item)));
}

void CConfigurator::OnNotify(NMHDR& header) {
    if (header.code == TTN_GETDISPINFOW) {
        auto& info = reinterpret_cast<NMTTDISPINFOW&>(header);
        const std::wstring text = LoadText(static_cast<UINT>(header.idFrom));
        const size_t newline = text.find(L'\n');
        toolTip_ = newline == std::wstring::npos ? text : text.substr(newline + 1);
        info.lpszText = const_cast<wchar_t*>(toolTip_.c_str());
    }
}

void CConfigurator::RouteCommand(UINT command) {
    if (active_ && active_->OnCommand(command)) return;
    OnFrameCommand(command);
}

void CConfigurator::OnFrameCommand(UINT command) {
    switch (command) {
        case ID_ADD_OBJECT:
            if (browser_.AddToSelected(window_)) MarkChanged();
            return;
        case ID_EDIT_OBJECT:
            if (browser_.EditSelected(window_)) MarkChanged();
            return;
        case ID_REMOVE_OBJECT:
            if (browser_.RemoveSelected()) MarkChanged();
            return;
        case ID_FILE_NEW:
            FileNew();
            return;
        case ID_FILE_OPEN:
            FileOpen();
            return;
        case ID_FILE_SAVE:
            FileSave();
            return;
        case ID_FILE_SAVE_AS:
            FileSaveAs();
            return;
        case ID_APP_EXIT:
            PostMessageW(window_, WM_CLOSE, 0, 0);
            return;
        case ID_NEXT_PANE:
        case ID_PREV_PANE:
            MovePaneFocus();
            return;
        case ID_REPORT_CHANGES_ONLY:
            ToggleReportChangesOnly();
            return;
        default:
            break;
    }
    // A grayed scanning command does nothing, however it arrives: a second Prepare would
    // start every driver twice and leave them running after End.
    if (!scanning_.IsEnabled(command)) return;
    switch (command) {
        case ID_SCAN_PREPARE:
            Prepare();
            break;
        case ID_SCAN_SINGLE:
            SingleScan();
            break;
        case ID_SCAN_END:
            End();
            break;
        case ID_SCAN_START:
            Prepare();
            SetTimer(window_, kScanTimer, kScanPeriodMs, nullptr);
            scanning_.SetMode(DebugScanning::ScanRunning);
            break;
        case ID_SCAN_STOP:
            End();
            KillTimer(window_, kScanTimer);
            break;
        default:
            break;
    }
}

// With two panes, the next and the previous one are both the other one.
void CConfigurator::MovePaneFocus() {
    PaneView* next = active_ == &browser_ ? static_cast<PaneView*>(&items_) : &browser_;
    if (next->Control()) SetFocus(next->Control());
    active_ = next;
}

void CConfigurator::FileNew() {
    DeleteAllNodes();
    services_.reloadDrivers();
    // The reloaded drivers join a debug scan that is under way, so that End stops what
    // Prepare started.
    if (scanning_.CurrentMode() != DebugScanning::ScanIdle) DebugScanning::StartAllDrivers();
    browser_.BuildSubtree(nullptr);
    MarkChanged();
}

void CConfigurator::FileOpen() {
    const std::optional<std::string> path = services_.askPathToOpen(window_);
    if (!path) return;
    if (LoadConfiguration(*path, [this] { DeleteAllNodes(); })) {
        browser_.BuildSubtree(nullptr);
        MarkChanged();
    }
}

bool CConfigurator::FileSave() {
    if (currentFile_.empty()) return FileSaveAs();
    return SaveTo(currentFile_);
}

bool CConfigurator::FileSaveAs() {
    const std::optional<std::string> path = services_.askPathToSave(window_);
    if (!path) return false;
    currentFile_ = *path;
    return SaveTo(currentFile_);
}

bool CConfigurator::SaveTo(const std::string& path) {
    if (!WriteConfigurationFile(path)) {
        // Silence here would let the user close the window believing the work is kept.
        std::wstring message = LoadText(IDS_SAVE_FAILED);
        const size_t at = message.find(L"%s");
        if (at != std::wstring::npos) message.replace(at, 2, AnsiToWide(path));
        services_.tell(window_, message);
        return false;
    }
    StoreDefaultConfigurationPath(path);
    changed_ = false;
    return true;
}

bool CConfigurator::MayClose() {
    if (!changed_) return true;
    switch (services_.askToSave(window_, LoadText(IDS_SAVE_CHANGES))) {
        case IDYES:
            return FileSave();
        case IDNO:
            return true;
        default:
            return false;
    }
}

void CConfigurator::Prepare() {
    DebugScanning::StartAllDrivers();
    items_.Refresh();
    scanning_.SetMode(DebugScanning::ScanStepping);
}

void CConfigurator::End() {
    DebugScanning::StopAllDrivers();
    items_.Refresh();
    scanning_.SetMode(DebugScanning::ScanIdle);
}

void CConfigurator::SingleScan() {
    const DWORD duration = DebugScanning::ScanAllDrivers();
    std::wstring text = LoadText(IDS_SCAN_DURATION);
    const size_t at = text.find(L"%d");
    if (at != std::wstring::npos) text.replace(at, 2, std::to_wstring(static_cast<long>(duration)));
    SetStatusText(text, true);
    items_.Refresh();
}

LRESULT CALLBACK CConfigurator::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<CConfigurator*>(create->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CConfigurator*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT CConfigurator::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            Layout();
            return 0;
        case WM_COMMAND:
            // Menus, keys and the toolbar; the frame has no controls of its own that notify.
            if (HIWORD(wParam) <= 1 || reinterpret_cast<HWND>(lParam) == toolBar_)
                RouteCommand(LOWORD(wParam));
            return 0;
        case WM_NOTIFY:
            OnNotify(*reinterpret_cast<NMHDR*>(lParam));
            return 0;
        case WM_INITMENUPOPUP:
            if (reinterpret_cast<HMENU>(wParam) == GetSubMenu(GetMenu(window_), kScanMenuPosition))
                UpdateScanMenu(reinterpret_cast<HMENU>(wParam));
            if (reinterpret_cast<HMENU>(wParam) ==
                GetSubMenu(GetMenu(window_), kServerMenuPosition))
                UpdateServerMenu(reinterpret_cast<HMENU>(wParam));
            return 0;
        case WM_MENUSELECT:
            OnMenuSelect(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HMENU>(lParam));
            return 0;
        case WM_EXITMENULOOP:
            SetStatusText(LoadText(IDS_IDLE_MESSAGE));
            return 0;
        case WM_TIMER:
            // Every tick scans; the platform never queues more than one, so a slow scan
            // delays the next one instead of piling them up.
            SingleScan();
            break;
        case WM_CLOSE:
            if (!MayClose()) return 0;
            DeleteAllNodes();
            DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            KillTimer(window_, kScanTimer);
            if (services_.closed) services_.closed();
            return 0;
        case WM_NCDESTROY: {
            const LRESULT result = DefWindowProcW(window_, message, wParam, lParam);
            SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
            window_ = nullptr;
            return result;
        }
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}
