// CConfigurator: the configurator's main window. A frame with menu, accelerators, toolbar,
// status bar and a splitter holding the tree pane (CBrowser) and the items pane
// (CItemsList); the file commands, the debug scanning commands, and the routing of every
// command: the active pane first, then the frame.
//
// Everything runs on the main (user-interface) thread. The drivers stay in the process-wide
// lists; the window never owns them, except that New replaces them.
#pragma once

#include <windows.h>
#include <functional>
#include <optional>
#include <string>

#include "browser_view.h"
#include "driver.h"
#include "debug_scanning.h"
#include "items_list_view.h"
#include "splitter_window.h"

// What the window asks of the world, replaceable so that a test can stand in for the user's
// file dialogs and the driver list file.
struct ConfiguratorServices {
    std::function<void()> reloadDrivers;                            // New
    std::function<std::optional<std::string>(HWND)> askPathToOpen;  // Open
    std::function<std::optional<std::string>(HWND)> askPathToSave;  // Save As
    // The question whether to save changes before closing: IDYES, IDNO or IDCANCEL.
    std::function<int(HWND, const std::wstring&)> askToSave;
    std::function<void(HWND, const std::wstring&)> tell;  // a failure the user must know of
    std::function<void()> closed;                         // the window is gone
    static ConfiguratorServices Standard();
};

class CConfigurator {
  public:
    static constexpr int kTreePaneWidth = 300;
    static constexpr UINT_PTR kScanTimer = 1;
    static constexpr UINT kScanPeriodMs = 250;

    explicit CConfigurator(ConfiguratorServices services = ConfiguratorServices::Standard());
    ~CConfigurator();
    CConfigurator(const CConfigurator&) = delete;
    CConfigurator& operator=(const CConfigurator&) = delete;

    // Loads the frame from the resources of `instance` and builds the tree; false when the
    // frame, splitter, status bar or toolbar cannot be made.
    bool Create(HINSTANCE instance);
    HWND Window() const noexcept { return window_; }

    // Accelerators and the status bar's key indicators; true when `message` was consumed.
    bool PreTranslateMessage(MSG& message);

    // Deletes every tree node and frees its data: the clean-up before the window goes.
    void DeleteAllNodes();

    CBrowser& Browser() noexcept { return browser_; }
    CItemsList& Items() noexcept { return items_; }
    HWND StatusBar() const noexcept { return statusBar_; }
    HWND ToolBar() const noexcept { return toolBar_; }
    const SplitterWindow& Splitter() const noexcept { return splitter_; }
    HIMAGELIST Images() const noexcept { return images_; }
    // The "&Изменить" pop-up, the panes' context menu.
    HMENU EditMenu() const;
    DebugScanning::Mode ScanningMode() const noexcept { return scanning_.CurrentMode(); }
    const std::string& CurrentFile() const noexcept { return currentFile_; }
    bool HasUnsavedChanges() const noexcept { return changed_; }
    PaneView* ActiveView() const noexcept { return active_; }

    void SetActiveView(PaneView* view) noexcept { active_ = view; }
    // Objects were added, edited or removed, or another configuration was loaded.
    void MarkChanged() noexcept { changed_ = true; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

    bool CreateBars();
    bool CreatePanes();
    void Layout();
    void RouteCommand(UINT command);
    void OnFrameCommand(UINT command);
    void OnNotify(NMHDR& header);
    void OnMenuSelect(UINT item, UINT flags, HMENU menu);
    void UpdateScanMenu(HMENU popup);
    // The check mark of "report changes only" as the running server has it.
    void UpdateServerMenu(HMENU popup);
    void ToggleReportChangesOnly();
    void UpdateIndicators();
    void SetStatusText(const std::wstring& text, bool redrawNow = false);
    std::wstring LoadText(UINT id) const;
    void MovePaneFocus();

    void FileNew();
    void FileOpen();
    bool FileSave();
    bool FileSaveAs();
    bool SaveTo(const std::string& path);
    // The answer to a close request: false keeps the window.
    bool MayClose();

    void Prepare();
    void End();
    void SingleScan();

    // The window is made and used on one thread, which waits for a driver only briefly and
    // shows what it has: a driver that does not answer never freezes the window for long.
    // Its own dialogs run in the window's thread by their nature and are not bounded.
    static constexpr DWORD kDriverWaitMs = 500;
    CDriver::ScopedWaitLimit driverWaits_{kDriverWaitMs};
    ConfiguratorServices services_;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND statusBar_ = nullptr;
    std::string currentFile_;
    DebugScanning scanning_;
    HIMAGELIST images_ = nullptr;
    HWND toolBar_ = nullptr;
    HIMAGELIST toolImages_ = nullptr;
    SplitterWindow splitter_;
    CBrowser browser_{*this};
    CItemsList items_{*this};
    HACCEL accelerators_ = nullptr;
    PaneView* active_ = nullptr;
    bool changed_ = false;
    std::wstring toolTip_;  // the text a tool tip shows, alive while it is shown
};
