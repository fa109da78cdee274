#include "pane_view.h"

#include <commctrl.h>

#include "configurator.h"

bool PaneView::Create(HINSTANCE instance, int form, HWND parent, int control) {
    form_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(form), parent, FormProc,
                               reinterpret_cast<LPARAM>(this));
    if (!form_) return false;
    control_ = GetDlgItem(form_, control);
    ShowWindow(form_, SW_SHOW);
    return control_ != nullptr;
}

POINT PaneView::CursorInControl() const {
    POINT cursor{};
    GetCursorPos(&cursor);
    ScreenToClient(control_, &cursor);
    return cursor;
}

void PaneView::ShowEditMenu(HWND owner) {
    POINT cursor{};
    GetCursorPos(&cursor);
    frame_.SetActiveView(this);
    TrackPopupMenu(frame_.EditMenu(), TPM_LEFTALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, owner,
                   nullptr);
}

INT_PTR CALLBACK PaneView::FormProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(form, DWLP_USER, lParam);
        return FALSE;
    }
    auto* view = reinterpret_cast<PaneView*>(GetWindowLongPtrW(form, DWLP_USER));
    if (!view) return FALSE;
    switch (message) {
        case WM_SIZE:
            if (view->control_)
                MoveWindow(view->control_, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            return TRUE;
        case WM_NOTIFY: {
            const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
            if (header.code == NM_SETFOCUS) view->frame_.SetActiveView(view);
            if (header.code == NM_RCLICK && header.hwndFrom == view->control_) {
                view->ShowContextMenu();
                SetWindowLongPtrW(form, DWLP_MSGRESULT, 1);  // handled: no default menu
                return TRUE;
            }
            LRESULT result = 0;
            if (!view->OnNotify(header, result)) return FALSE;
            SetWindowLongPtrW(form, DWLP_MSGRESULT, result);
            return TRUE;
        }
        case WM_COMMAND:
            // The context menu's commands: this pane first, then the main window.
            if (!view->OnCommand(LOWORD(wParam)))
                SendMessageW(view->frame_.Window(), WM_COMMAND, wParam, lParam);
            return TRUE;
        default:
            return FALSE;
    }
}
