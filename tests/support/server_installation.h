// A copy of the server installed in a scratch directory (bin\OPCServerVEXA.exe with the probe
// driver as its only driver, Drivers.cfg above), for tests that start it by hand or through
// COM, and watch it through the registry, the process list and the probe's call log.
#pragma once

#include <windows.h>
#include <functional>
#include <set>
#include <string>

#include "child_process.h"
#include "com_ptr.h"
#include "driver.h"
#include "opc.h"
#include "probe_driver_files.h"

// A value under HKEY_CLASSES_ROOT, or "<no key>" / "<no value>".
std::string RegistryValue(const std::string& key, const char* name = nullptr);

// A visible dialog of process `id`, or null after `ms`.
HWND WaitForDialogOf(DWORD id, DWORD ms);

// Ids of the running server processes.
std::set<DWORD> ServerProcesses();

class ServerInstallation {
  public:
    // The probe's default tree: a folder Dev with tags of several types (one read-only, one
    // with child tags, one with a name in the Cyrillic code page).
    static const char* const kProbeTree;

    // The server and the probe come from `build`, a directory of built files (by default the
    // test program's own: the other bitness's build is another).
    explicit ServerInstallation(const std::string& probeConfig = kProbeTree,
                                const std::string& build = "");
    // Stops the servers it started and removes the registration.
    ~ServerInstallation();
    ServerInstallation(const ServerInstallation&) = delete;
    ServerInstallation& operator=(const ServerInstallation&) = delete;

    // Lists one more driver after the probe: a copy of `builtDll` (a probe build) as
    // bin\NAME.dll with `config`, shown as NAME. Its path, for its call log.
    std::string AddDriver(const std::string& builtDll, const std::string& name,
                          const std::string& config);

    // Lists a driver we ship after the probe: a copy of `builtDll` as bin\NAME.dll, shown
    // as NAME.
    void AddShippedDriver(const std::string& builtDll, const std::string& name);

    // Loads the installed drivers into this process, lets `configure` set up each one (named
    // by its display name; false stops), and saves them with the product's own save as the
    // default configuration of the registered server. False if a step fails.
    bool SaveDefaultConfiguration(
        const std::function<bool(const std::string& name, CDriver& driver)>& configure);

    // Starts the installed server with `arguments`; the process handle, owned by the caller.
    HANDLE Start(const std::string& arguments, DWORD* id = nullptr);
    // Runs it and waits for its end; false if it did not end within `ms`.
    bool Run(const std::string& arguments, DWORD ms = 30000);
    // A server object, created by ProgID in a local server process.
    ComPtr<IOPCCommon> Connect();
    template <class I>
    ComPtr<I> ConnectAs() {
        ComPtr<IOPCCommon> common = Connect();
        ComPtr<I> result;
        if (common) common.As(result);
        return result;
    }
    // Waits until no server process is left; the tick when that was seen, or 0.
    DWORD WaitForNoServer(DWORD ms);
    void StopStartedServers();

    ScratchDirectory dir_;
    std::string exe_, probe_;
    std::string driverList_;  // Drivers.cfg
    std::set<DWORD> started_;
};
