// A program of the test build run as a child process, as a script would run it: its exit code
// and both output streams.
#pragma once

#include <windows.h>
#include <set>
#include <string>

struct ChildRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out, err;  // as the program wrote them
};

// Runs `exeName` from the test program's directory (or from where a path names it) with
// `arguments`; a program that has not
// ended after `timeoutMs` is a test failure and is killed.
// Starts it without waiting and without its output; the process handle, owned by the
// caller, or null.
HANDLE StartChild(const std::wstring& exeName, const std::wstring& arguments);

ChildRun RunChild(const std::wstring& exeName, const std::wstring& arguments,
                  DWORD timeoutMs = 60000);

// The ids of the running processes of an executable (by file name, any letter case).
std::set<DWORD> ProcessesNamed(const wchar_t* exeName);

// Ends a server the way its monitor would (WM_QUIT to its threads), so that it revokes its
// class object: Wine keeps the registration of a killed server and sends later activations
// to the dead process. Killed only if it does not end.
void StopServer(HANDLE process, DWORD id);
