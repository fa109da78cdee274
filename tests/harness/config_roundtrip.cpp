// Writes and reads configuration files with the drivers we ship, in this program's bitness, so
// that a test can hand a file from the 32-bit build to the 64-bit one and back:
//   config_roundtrip write FILE   every driver at its defaults, written to FILE
//   config_roundtrip dump FILE    FILE loaded, then every driver's tree printed
// The drivers are the simulator and Modbus DLLs beside this program; their streams are a wire
// format between the two builds.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "configuration_file.h"
#include "driver.h"
#include "driver_list.h"

namespace {

void Print(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
}

// The objects under `id`, branches then tags, one line each with what a stream restores.
void Dump(CDriver& driver, DWORD id, const std::string& path) {
    for (bool tags : {false, true}) {
        std::vector<std::string> names;
        if (tags)
            driver.EnumTags(names, id);
        else
            driver.EnumChildren(names, id);
        for (const std::string& name : names) {
            const DWORD child = driver.GetObjectID(id, name);
            CObjectInfo info;
            driver.GetObjectInfo(child, info);
            const std::string full = path.empty() ? name : path + "." + name;
            char facts[96];
            snprintf(facts, sizeof(facts), "|tag=%d|ro=%d|visible=%d|type=%u|image=%u,%u|",
                     info.isTag ? 1 : 0, info.readOnly ? 1 : 0, info.visible ? 1 : 0,
                     static_cast<unsigned>(V_VT(info.value.Get())),
                     static_cast<unsigned>(info.image), static_cast<unsigned>(info.treeImage));
            Print(full + facts + info.description + "\n");
            if (!tags) Dump(driver, child, full);
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || (wcscmp(argv[1], L"write") != 0 && wcscmp(argv[1], L"dump") != 0)) {
        fputws(L"usage: config_roundtrip write|dump FILE\n", stderr);
        return 2;
    }
    char file[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, argv[2], -1, file, MAX_PATH, nullptr, nullptr);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::string dir = ExecutableDirectory();
    const std::string list = std::string(file) + ".drivers";
    const std::string entries = dir + "\\simulator.dll\n" + dir + "\\modbus.dll\n";
    HANDLE h = CreateFileA(list.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(h, entries.data(), static_cast<DWORD>(entries.size()), &written, nullptr);
    CloseHandle(h);
    g_drivers.LoadFrom(list);
    DeleteFileA(list.c_str());
    int status = 0;
    {
        const DriverSnapshot drivers = g_drivers.Snapshot();
        if (drivers->drivers.size() != 2) {
            fputws(L"config_roundtrip: the drivers did not load\n", stderr);
            status = 1;
        } else if (wcscmp(argv[1], L"write") == 0) {
            for (const auto& driver : drivers->drivers) driver->DefaultSettings();
            if (!WriteConfigurationFile(file)) {
                fputws(L"config_roundtrip: the file was not written\n", stderr);
                status = 1;
            }
        } else if (LoadConfigurationFile(file) != LoadOutcome::Loaded) {
            fputws(L"config_roundtrip: the file did not load\n", stderr);
            status = 1;
        } else {
            for (size_t i = 0; i < drivers->drivers.size(); ++i)
                Dump(*drivers->drivers[i], 0, drivers->driverNames[i]);
        }
    }
    g_drivers.Unload();
    CoUninitialize();
    return status;
}
