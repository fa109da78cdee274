// A static splitter of one row and two columns: two pane windows side by side with a bar
// between them that the user drags to share the width.
#pragma once

#include <windows.h>

class SplitterWindow {
  public:
    static constexpr int kBarWidth = 6;

    // A child of `parent` (which places it); false if it cannot be made.
    bool Create(HINSTANCE instance, HWND parent);
    HWND Window() const noexcept { return window_; }

    // The two panes, made as children of Window(); the left one starts `leftWidth` wide.
    void SetPanes(HWND left, HWND right, int leftWidth);
    int LeftWidth() const noexcept { return leftWidth_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Layout();

    HWND window_ = nullptr;
    HWND left_ = nullptr;
    HWND right_ = nullptr;
    int leftWidth_ = 0;
    bool dragging_ = false;
};
