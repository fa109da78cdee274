// CServerApp: the server process. Start-up decides whether the process only writes or
// removes its registration, or becomes the running server: class object, drivers, default
// configuration (or a fresh one), then the ready flag; the message loop runs until the
// shutdown monitor (or the configurator) posts WM_QUIT; exit stops the scan thread before
// the drivers go.
#pragma once

#include <windows.h>
#include <string>

class CServerApp {
  public:
    // Non-zero keeps the process running in the message loop.
    BOOL InitInstance(const std::string& arguments);
    int Run();
    int ExitInstance();

  private:
    bool hosting_ = false;
    bool comInitialised_ = false;
};

constexpr const char* kConfiguratorTitle = "OPC Server Configurator";
