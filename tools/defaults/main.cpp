// opcdefaults: writes a fresh default configuration without a dialog, for scripted set-ups
// (the demo, installers). It does what the server's "DefaultSettings" start does, with the
// file name given on the command line: every driver of Drivers.cfg back to its defaults, the
// configuration written to FILE and recorded as the server's default configuration.
//
// Run it from the server's own directory (it reads Drivers.cfg one level up, as the server
// does) after the server has been registered.
#include <windows.h>
#include <objbase.h>
#include <cwchar>
#include <string>

#include "ansi_text.h"
#include "configuration_file.h"
#include "driver_list.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || wcscmp(argv[1], L"--help") == 0) {
        fputws(
            L"usage: opcdefaults FILE.cfg\n"
            L"  resets every driver to its defaults, writes FILE.cfg and makes it the\n"
            L"  server's default configuration\n",
            stderr);
        return argc == 2 ? 0 : 2;
    }
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(argv[1], MAX_PATH, full, nullptr)) return 1;
    const std::string path = WideToAnsi(full);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LoadDrivers();
    const DefaultSettingsResult result =
        RunDefaultSettings(nullptr, [&](HWND) { return std::optional<std::string>(path); });
    UnloadDrivers();
    CoUninitialize();
    switch (result) {
        case DefaultSettingsResult::Saved:
            fwprintf(stdout, L"default configuration: %ls\n", full);
            return 0;
        case DefaultSettingsResult::NotWritten:
            fwprintf(stderr, L"opcdefaults: cannot write %ls\n", full);
            return 1;
        default:
            fputws(L"opcdefaults: the server is not registered\n", stderr);
            return 1;
    }
}
