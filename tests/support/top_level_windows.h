// Every top-level window, in Z order, for tests that look for a process's window or dialog.
// EnumWindows wants a stdcall callback, which a lambda cannot be in the 32-bit build.
#pragma once

#include <windows.h>
#include <cwchar>
#include <vector>

inline BOOL CALLBACK CollectTopLevelWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

inline std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(CollectTopLevelWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// The first top-level window of `process` of the window class `kind` (visible ones only, if
// asked), or null.
inline HWND WindowOf(DWORD process, const wchar_t* kind, bool visibleOnly) {
    for (HWND h : TopLevelWindows()) {
        DWORD owner = 0;
        wchar_t name[64] = L"";
        GetWindowThreadProcessId(h, &owner);
        GetClassNameW(h, name, 64);
        if (owner == process && wcscmp(name, kind) == 0 && (!visibleOnly || IsWindowVisible(h)))
            return h;
    }
    return nullptr;
}
