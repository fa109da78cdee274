// CServerApp: the server process. Start-up decides whether the process only writes or
// removes its registration, or becomes the running server: class object, drivers, default
// configuration (or a fresh one), then the ready flag; the message loop runs until the
// shutdown monitor (or the closed configurator window) posts WM_QUIT; exit stops the scan thread
// before the drivers go.
#pragma once

#include <windows.h>
#include <memory>
#include <string>

class CConfigurator;
class EndedClientWatch;
class InterfaceAnchors;
class SessionEndWatcher;

class CServerApp {
  public:
    CServerApp();
    ~CServerApp();

    // Non-zero keeps the process running in the message loop.
    BOOL InitInstance(const std::string& arguments);
    int Run();
    int ExitInstance();

  private:
    void ShowConfigurator();

    bool hosting_ = false;
    std::unique_ptr<CConfigurator> configurator_;
    std::unique_ptr<SessionEndWatcher> sessionEndWatcher_;
    std::unique_ptr<EndedClientWatch> endedClientWatch_;
    std::unique_ptr<InterfaceAnchors> interfaceAnchors_;
    bool comInitialised_ = false;
};

constexpr const char* kConfiguratorTitle = "OPC Server Configurator";
