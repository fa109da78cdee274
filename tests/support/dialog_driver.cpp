#include "dialog_driver.h"

#include <thread>

#include "top_level_windows.h"

HWND FindOwnDialog(const wchar_t* title) {
    for (HWND h : TopLevelWindows()) {
        DWORD process = 0;
        GetWindowThreadProcessId(h, &process);
        wchar_t text[128] = L"", kind[32] = L"";
        GetWindowTextW(h, text, 128);
        GetClassNameW(h, kind, 32);
        if (process == GetCurrentProcessId() && IsWindowVisible(h) &&
            wcscmp(kind, L"#32770") == 0 && wcscmp(text, title) == 0)
            return h;
    }
    return nullptr;
}

HWND WaitForDialog(const wchar_t* title, DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (HWND h = FindOwnDialog(title)) return h;
        Sleep(20);
    }
    return nullptr;
}

std::wstring DialogItemText(HWND dialog, int id) {
    wchar_t text[256] = L"";
    GetDlgItemTextW(dialog, id, text, 256);
    return text;
}

DialogOutcome WithDialog(const wchar_t* title, const std::function<void()>& call,
                         const std::function<void(HWND)>& user, const wchar_t* complaint) {
    DialogOutcome outcome;
    std::thread person([&] {
        HWND dialog = WaitForDialog(title);
        outcome.found = dialog != nullptr;
        if (!dialog) return;
        user(dialog);
        for (int i = 0; i < 500 && !(outcome.closed = !IsWindow(dialog)); ++i) Sleep(20);
        if (outcome.closed) return;
        if (complaint)
            if (HWND message = FindOwnDialog(complaint)) PostMessageW(message, WM_COMMAND, IDOK, 0);
        Sleep(200);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    call();
    person.join();
    return outcome;
}
