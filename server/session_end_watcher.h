// A hidden top-level window that hears the session end (log-off, system shut-down), which
// reaches only top-level windows: the server then tells its connected clients before the
// system ends the process. Lives on the main thread, with its message loop.
#pragma once

#include <windows.h>

class SessionEndWatcher {
  public:
    static constexpr const wchar_t* kClassName = L"OPCServerVEXA.SessionEndWatcher";

    SessionEndWatcher() = default;
    ~SessionEndWatcher();
    SessionEndWatcher(const SessionEndWatcher&) = delete;
    SessionEndWatcher& operator=(const SessionEndWatcher&) = delete;

    bool Create(HINSTANCE instance);

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_ = nullptr;
};
