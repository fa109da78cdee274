#include "session_end_watcher.h"

#include "shutdown_notice.h"

SessionEndWatcher::~SessionEndWatcher() {
    if (window_) DestroyWindow(window_);
}

bool SessionEndWatcher::Create(HINSTANCE instance) {
    WNDCLASSEXW kind{};
    kind.cbSize = sizeof(kind);
    kind.lpfnWndProc = WindowProc;
    kind.hInstance = instance;
    kind.lpszClassName = kClassName;
    RegisterClassExW(&kind);
    window_ = CreateWindowExW(0, kClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                              nullptr);
    return window_ != nullptr;
}

LRESULT CALLBACK SessionEndWatcher::WindowProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            // The process may be ended as soon as this returns: the clients hear it now.
            if (wParam) NotifyClientsOfShutdown(kShutdownReason, kShutdownNoticeLimitMs);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
