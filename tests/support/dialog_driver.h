// Driving a modal dialog of this process as a user would: a second thread finds the window
// by its title, acts on it, and makes sure it closes, while the test's thread sits in the
// call that opened it. Needs a display (the tests run under Xvfb).
#pragma once

#include <windows.h>
#include <functional>
#include <string>

// A visible dialog of this process with that title (tests run in parallel on one display).
HWND FindOwnDialog(const wchar_t* title);
HWND WaitForDialog(const wchar_t* title, DWORD ms = 20000);
std::wstring DialogItemText(HWND dialog, int id);

struct DialogOutcome {
    bool found = false;   // the dialog appeared
    bool closed = false;  // and went away after `user` acted on it
};

// Runs `call` (which opens a modal dialog titled `title`) while `user` acts on the dialog.
// A dialog still open ten seconds later is dismissed (first any dialog titled `complaint`
// that it may have raised, then the dialog itself) so that the test ends.
DialogOutcome WithDialog(const wchar_t* title, const std::function<void()>& call,
                         const std::function<void(HWND)>& user, const wchar_t* complaint = nullptr);
