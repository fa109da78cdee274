#include "splitter_window.h"

#include <algorithm>

namespace {
constexpr const wchar_t* kClassName = L"OPCServerVEXA.Splitter";
}

bool SplitterWindow::Create(HINSTANCE instance, HWND parent) {
    WNDCLASSEXW kind{};
    kind.cbSize = sizeof(kind);
    kind.lpfnWndProc = WindowProc;
    kind.hInstance = instance;
    kind.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32644));  // IDC_SIZEWE
    kind.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    kind.lpszClassName = kClassName;
    RegisterClassExW(&kind);  // fails harmlessly when a second window registers it again
    window_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0,
                              0, parent, nullptr, instance, this);
    return window_ != nullptr;
}

void SplitterWindow::SetPanes(HWND left, HWND right, int leftWidth) {
    left_ = left;
    right_ = right;
    leftWidth_ = leftWidth;
    Layout();
}

void SplitterWindow::Layout() {
    RECT client;
    GetClientRect(window_, &client);
    const int width = client.right, height = client.bottom;
    const int left = std::max(0, std::min(leftWidth_, width - kBarWidth));
    if (left_) MoveWindow(left_, 0, 0, left, height, TRUE);
    if (right_)
        MoveWindow(right_, left + kBarWidth, 0, std::max(0, width - left - kBarWidth), height,
                   TRUE);
}

LRESULT CALLBACK SplitterWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<SplitterWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
        case WM_SIZE:
            self->Layout();
            return 0;
        case WM_LBUTTONDOWN:
            self->dragging_ = true;
            SetCapture(window);
            return 0;
        case WM_MOUSEMOVE:
            if (self->dragging_) {
                self->leftWidth_ = std::max(
                    0, static_cast<int>(static_cast<short>(LOWORD(lParam))) - kBarWidth / 2);
                self->Layout();
            }
            return 0;
        case WM_LBUTTONUP:
        case WM_CAPTURECHANGED:
            if (self->dragging_) {
                self->dragging_ = false;
                if (message == WM_LBUTTONUP) ReleaseCapture();
            }
            return 0;
        case WM_NOTIFY:
        case WM_COMMAND:
            // The panes' forms talk to the frame.
            return SendMessageW(GetParent(window), message, wParam, lParam);
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
