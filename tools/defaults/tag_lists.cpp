#include "tag_lists.h"

#include <windows.h>
#include <objbase.h>
#include <cwchar>
#include <memory>
#include <string>

#include "ansi_text.h"
#include "configuration_file.h"
#include "driver_list.h"

namespace {

using ExportProc = LONG(__cdecl*)(const char* device, const wchar_t* file);
using ImportProc = LONG(__cdecl*)(const char* device, const wchar_t* file, BOOL goodRows,
                                  char** report);

struct TaskText {
    void operator()(char* p) const { CoTaskMemFree(p); }
};

std::wstring FromUtf8(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 1) return L"";
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

// The entry point `name` of the first loaded driver that has it.
FARPROC DriverProc(const DriverSnapshot& drivers, const char* name) {
    for (const auto& driver : drivers->drivers)
        if (FARPROC proc = GetProcAddress(driver->Module(), name)) return proc;
    return nullptr;
}

int Usage() {
    fputws(
        L"usage: opcdefaults --export-tags FILE.cfg DEVICE OUT.csv\n"
        L"       opcdefaults --import-tags FILE.cfg DEVICE IN.csv [--good-rows]\n"
        L"  a Modbus device's tags to or from a CSV file; an import adds every row or,\n"
        L"  when one is refused, none (--good-rows: the others), and writes FILE.cfg\n",
        stderr);
    return 2;
}

int Run(bool import, const std::string& config, const std::string& device, const wchar_t* csv,
        bool goodRows) {
    const LoadOutcome loaded = LoadConfigurationFile(config);
    if (loaded != LoadOutcome::Loaded) {
        fwprintf(stderr, L"opcdefaults: %hs does not load\n", config.c_str());
        return 1;
    }
    const DriverSnapshot drivers = g_drivers.Snapshot();
    if (!import) {
        auto exporter = reinterpret_cast<ExportProc>(
            reinterpret_cast<void*>(DriverProc(drivers, "ModbusExportTagCsv")));
        if (!exporter) {
            fputws(L"opcdefaults: no Modbus driver in Drivers.cfg\n", stderr);
            return 1;
        }
        if (exporter(device.c_str(), csv) != 1) {
            fwprintf(stderr, L"opcdefaults: no device %hs, or %ls cannot be written\n",
                     device.c_str(), csv);
            return 1;
        }
        fwprintf(stdout, L"tags of %hs: %ls\n", device.c_str(), csv);
        return 0;
    }
    auto importer = reinterpret_cast<ImportProc>(
        reinterpret_cast<void*>(DriverProc(drivers, "ModbusImportTagCsv")));
    if (!importer) {
        fputws(L"opcdefaults: no Modbus driver in Drivers.cfg\n", stderr);
        return 1;
    }
    char* text = nullptr;
    const LONG added = importer(device.c_str(), csv, goodRows, &text);
    const std::unique_ptr<char, TaskText> report(text);
    if (report) fwprintf(stderr, L"%ls", FromUtf8(report.get()).c_str());
    if (added == -1) {
        fwprintf(stderr, L"opcdefaults: no device %hs, or %ls cannot be read\n", device.c_str(),
                 csv);
        return 1;
    }
    if (added == -2) {
        fputws(L"opcdefaults: rows refused, nothing imported (--good-rows takes the others)\n",
               stderr);
        return 3;
    }
    if (added > 0 && !WriteConfigurationFile(config)) {
        fwprintf(stderr, L"opcdefaults: cannot write %hs\n", config.c_str());
        return 1;
    }
    fwprintf(stdout, L"tags added to %hs: %ld\n", device.c_str(), added);
    return report ? 3 : 0;
}

}  // namespace

int RunTagList(int argc, wchar_t** argv) {
    const bool import = wcscmp(argv[1], L"--import-tags") == 0;
    const bool goodRows = import && argc == 6 && wcscmp(argv[5], L"--good-rows") == 0;
    if (argc != 5 && !goodRows) return Usage();
    // Before the drivers load: loading makes the executable's directory current.
    wchar_t config[MAX_PATH], csv[MAX_PATH];
    if (!GetFullPathNameW(argv[2], MAX_PATH, config, nullptr) ||
        !GetFullPathNameW(argv[4], MAX_PATH, csv, nullptr))
        return Usage();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    LoadDrivers();
    const int code = Run(import, WideToAnsi(config), WideToAnsi(argv[3]), csv, goodRows);
    UnloadDrivers();
    CoUninitialize();
    return code;
}
