#include "server_installation.h"

#include <tlhelp32.h>
#include <gtest/gtest.h>
#include <algorithm>

#include "child_process.h"
#include "configuration_file.h"
#include "driver_list.h"
#include "server_identity.h"
#include "top_level_windows.h"

std::string RegistryValue(const std::string& key, const char* name) {
    char data[1024] = "";
    DWORD size = sizeof(data);
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return "<no key>";
    LONG r = RegQueryValueExA(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(h);
    return r == ERROR_SUCCESS ? data : "<no value>";
}

std::set<DWORD> ServerProcesses() {
    return ProcessesNamed(L"OPCServerVEXA.exe");
}

const char* const ServerInstallation::kProbeTree =
    "root=Probe\n"
    "branch=Dev\n"
    "tag=Dev.Temp:R4:21.5\n"
    "subtag=Dev.Temp.Low:R4:-40\n"
    "subtag=Dev.Temp.High:R4:125\n"
    "tag=Dev.Count:I4:7\n"
    "tag=Dev.Fixed:I4:42:ro\n"
    "tag=Dev.Text:BSTR:hello\n"
    "tag=Dev.\xD2\xE5\xEC\xEF:R4:3\n";

ServerInstallation::ServerInstallation(const std::string& probeConfig, const std::string& build) {
    CreateDirectoryA(dir_.File("bin").c_str(), nullptr);
    exe_ = dir_.File("bin\\OPCServerVEXA.exe");
    const std::string from = build.empty() ? TestProgramDirectory() : build;
    EXPECT_TRUE(CopyFileA((from + "\\OPCServerVEXA.exe").c_str(), exe_.c_str(), FALSE));
    probe_ = InstallProbe(dir_.File("bin\\probe.dll"), probeConfig, from + "\\probe_driver.dll");
    driverList_ = "probe.dll|Probe\r\n";
    WriteTextFile(dir_.File("Drivers.cfg"), driverList_);
    RegDeleteTreeA(HKEY_CLASSES_ROOT,
                   (std::string("AppID\\") + kServerAppIdText + "\\Configuration").c_str());
}

ServerInstallation::~ServerInstallation() {
    StopStartedServers();
    Run("/UnregServer");
}

std::string ServerInstallation::AddDriver(const std::string& builtDll, const std::string& name,
                                          const std::string& config) {
    const std::string path = InstallProbe(dir_.File("bin\\" + name + ".dll"), config, builtDll);
    driverList_ += name + ".dll|" + name + "\r\n";
    WriteTextFile(dir_.File("Drivers.cfg"), driverList_);
    return path;
}

void ServerInstallation::AddShippedDriver(const std::string& builtDll, const std::string& name) {
    EXPECT_TRUE(CopyFileA(builtDll.c_str(), dir_.File("bin\\" + name + ".dll").c_str(), FALSE));
    driverList_ += name + ".dll|" + name + "\r\n";
    WriteTextFile(dir_.File("Drivers.cfg"), driverList_);
}

bool ServerInstallation::SaveDefaultConfiguration(
    const std::function<bool(const std::string& name, CDriver& driver)>& configure) {
    // The installed copies, by their full paths: the ones the server will load.
    std::string list;
    size_t start = 0;
    while (start < driverList_.size()) {
        const size_t end = driverList_.find("\r\n", start);
        list += dir_.File("bin\\" + driverList_.substr(start, end - start)) + "\n";
        start = end + 2;
    }
    WriteTextFile(dir_.File("load.cfg"), list);
    g_drivers.LoadFrom(dir_.File("load.cfg"));
    bool ok;
    {
        // Let go before the unload, which otherwise waits its whole drain time for this
        // snapshot's drivers.
        const DriverSnapshot drivers = g_drivers.Snapshot();
        ok = drivers->drivers.size() ==
             static_cast<size_t>(std::count(driverList_.begin(), driverList_.end(), '\n'));
        for (size_t i = 0; ok && i < drivers->drivers.size(); ++i)
            ok = configure(drivers->driverNames[i], *drivers->drivers[i]);
    }
    ok = ok && SaveConfiguration(dir_.File("test.cfg"));
    g_drivers.Unload();
    return ok;
}

void ServerInstallation::StopStartedServers() {
    for (DWORD id : ServerProcesses()) {
        if (started_.count(id) == 0) continue;
        HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (p) {
            StopServer(p, id);
            CloseHandle(p);
        }
    }
}

HANDLE ServerInstallation::Start(const std::string& arguments, DWORD* id) {
    std::string line = "\"" + exe_ + "\" " + arguments;
    STARTUPINFOA si{sizeof(si)};
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe_.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        // Under Wine a child that dies before its start-up is done fails CreateProcess itself,
        // with the child's exit status as the error: the log must say which.
        const DWORD error = GetLastError();
        ADD_FAILURE() << "cannot start " << line << ": error " << error << " (0x" << std::hex
                      << error << std::dec << ")";
        return nullptr;
    }
    started_.insert(pi.dwProcessId);
    if (id) *id = pi.dwProcessId;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

bool ServerInstallation::Run(const std::string& arguments, DWORD ms) {
    DWORD id = 0;
    HANDLE p = Start(arguments, &id);
    if (!p) return false;
    const bool ended = WaitForSingleObject(p, ms) == WAIT_OBJECT_0;
    if (!ended) {
        ADD_FAILURE() << "the server with " << arguments << " did not end within " << ms << " ms";
        StopServer(p, id);
    }
    CloseHandle(p);
    started_.erase(id);  // ended: its id may name another process from now on
    return ended;
}

ComPtr<IOPCCommon> ServerInstallation::Connect() {
    CLSID clsid;
    ComPtr<IOPCCommon> server;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &clsid));
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCCommon,
                                     server.PutVoid()));
    for (DWORD id : ServerProcesses()) started_.insert(id);
    return server;
}

DWORD ServerInstallation::WaitForNoServer(DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (ServerProcesses().empty()) return GetTickCount();
        Sleep(100);
    }
    return 0;
}

HWND WaitForDialogOf(DWORD id, DWORD ms) {
    const DWORD start = GetTickCount();
    HWND found = WindowOf(id, L"#32770", true);
    while (!found && GetTickCount() - start < ms) {
        Sleep(100);
        found = WindowOf(id, L"#32770", true);
    }
    return found;
}
