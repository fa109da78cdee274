// opcdefaults: writes a fresh default configuration without a dialog, for scripted set-ups
// (the demo, installers). It does what the server's "DefaultSettings" start does, with the
// file name given on the command line: every driver of Drivers.cfg back to its defaults, the
// configuration written to FILE and recorded as the server's default configuration.
//
// Run it from the server's own directory (it reads Drivers.cfg one level up, as the server
// does) after the server has been registered.
//
// "--report-changes-only on|off" instead stores the server's reporting mode (see
// reporting_setting.h), which the server reads when it starts.
//
// "--export-tags" and "--import-tags" move a Modbus device's tags between a saved
// configuration and a CSV file (tag_lists.h).
#include <windows.h>
#include <objbase.h>
#include <cwchar>
#include <string>

#include "ansi_text.h"
#include "configuration_file.h"
#include "driver_list.h"
#include "reporting_setting.h"
#include "tag_lists.h"

namespace {

int StoreReportingMode(const wchar_t* value) {
    const bool on = wcscmp(value, L"on") == 0;
    if (!on && wcscmp(value, L"off") != 0) {
        fwprintf(stderr, L"opcdefaults: --report-changes-only takes on or off, not %ls\n", value);
        return 2;
    }
    if (!StoreReportChangesOnly(on)) {
        fputws(L"opcdefaults: the server is not registered\n", stderr);
        return 1;
    }
    fwprintf(stdout, on ? L"report changes only: on (groups send the items that changed)\n"
                        : L"report changes only: off (groups send every item every cycle)\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"--report-changes-only") == 0)
        return StoreReportingMode(argv[2]);
    if (argc >= 2 &&
        (wcscmp(argv[1], L"--export-tags") == 0 || wcscmp(argv[1], L"--import-tags") == 0))
        return RunTagList(argc, argv);
    if (argc != 2 || wcscmp(argv[1], L"--help") == 0) {
        fputws(
            L"usage: opcdefaults FILE.cfg\n"
            L"  resets every driver to its defaults, writes FILE.cfg and makes it the\n"
            L"  server's default configuration\n"
            L"       opcdefaults --report-changes-only on|off\n"
            L"  whether the server's groups send only the items that changed (on) or every\n"
            L"  item every cycle (off, the default); read when the server starts\n"
            L"       opcdefaults --export-tags FILE.cfg DEVICE OUT.csv\n"
            L"       opcdefaults --import-tags FILE.cfg DEVICE IN.csv [--good-rows]\n"
            L"  a Modbus device's tags to or from a CSV file (see the README)\n",
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
