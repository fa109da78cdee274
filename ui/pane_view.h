// One pane of the configurator: a form (a child dialog from a template) whose one control
// fills it. Commands reach the active pane first; a pane answers those it handles.
#pragma once

#include <windows.h>

class CConfigurator;

class PaneView {
  public:
    explicit PaneView(CConfigurator& frame) noexcept : frame_(frame) {}
    virtual ~PaneView() = default;
    PaneView(const PaneView&) = delete;
    PaneView& operator=(const PaneView&) = delete;

    // The form from dialog template `form`, a child of `parent`; false if it cannot be made.
    bool Create(HINSTANCE instance, int form, HWND parent, int control);

    HWND Window() const noexcept { return form_; }
    HWND Control() const noexcept { return control_; }

    // After the main window exists: the pane fills its control.
    virtual void InitialUpdate() = 0;
    // True when the pane handled the command.
    virtual bool OnCommand(UINT) { return false; }

  protected:
    // A notification of the pane's control; `result` is the dialog's answer.
    virtual bool OnNotify(const NMHDR& header, LRESULT& result) = 0;
    // A right click in the control: the pane's context menu at the cursor.
    virtual void ShowContextMenu() = 0;

    // The cursor's position in the control's client coordinates.
    POINT CursorInControl() const;
    // The main menu's "&Изменить" pop-up at the cursor, its commands sent to `owner`; this
    // pane becomes the active one.
    void ShowEditMenu(HWND owner);

    CConfigurator& frame_;

  private:
    static INT_PTR CALLBACK FormProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam);

    HWND form_ = nullptr;
    HWND control_ = nullptr;
};
