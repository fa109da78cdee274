#include "server_app.h"

#include <objbase.h>

#include "class_factory.h"
#include "command_line.h"
#include "configuration_file.h"
#include "configuration_status.h"
#include "configurator.h"
#include "driver_list.h"
#include "ended_client_watch.h"
#include "interface_anchors.h"
#include "opc_server.h"
#include "public_groups.h"
#include "ready_flag.h"
#include "registration.h"
#include "reporting_mode.h"
#include "reporting_setting.h"
#include "resource_ids.h"
#include "scan_thread.h"
#include "server_identity.h"
#include "server_log.h"
#include "server_module.h"
#include "session_end_watcher.h"
#include "shutdown_notice.h"

namespace {

// Every interface the server's objects hand to clients.
size_t HoldServerInterfaces(InterfaceAnchors& anchors) noexcept {
    return anchors.Hold({IID_IUnknown,
                         IID_IClassFactory,
                         IID_IOPCCommon,
                         IID_IOPCServer,
                         IID_IOPCServerPublicGroups,
                         IID_IOPCBrowseServerAddressSpace,
                         IID_IOPCItemProperties,
                         IID_IConnectionPointContainer,
                         IID_IPersist,
                         IID_IPersistStorage,
                         IID_IOPCItemMgt,
                         IID_IOPCGroupStateMgt,
                         IID_IOPCPublicGroupStateMgt,
                         IID_IOPCSyncIO,
                         IID_IOPCAsyncIO,
                         IID_IOPCAsyncIO2,
                         IID_IDataObject,
                         IID_IEnumOPCItemAttributes,
                         IID_IConnectionPoint,
                         IID_IEnumConnectionPoints,
                         IID_IEnumConnections,
                         IID_IEnumString,
                         IID_IEnumUnknown,
                         IID_IEnumSTATDATA});
}

}  // namespace

BOOL CServerApp::InitInstance(const std::string& arguments) {
    // The framework's profile key: it holds only the configurator's recent files.
    HKEY profile;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\OPC ServerVEXA settings", 0, nullptr, 0,
                        KEY_WRITE, nullptr, &profile, nullptr) == ERROR_SUCCESS)
        RegCloseKey(profile);

    const bool configuratorRunning = FindWindowA(nullptr, kConfiguratorTitle) != nullptr;
    const StartupRequest request = ParseCommandLine(arguments, configuratorRunning);

    comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    // The monitor posts WM_QUIT to this thread: make sure it has a message queue.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    Module().SetMainThreadId(GetCurrentThreadId());

    if (request.registration != StartupRequest::Registration::None) {
        const std::string module = ModuleRegistrationPath(nullptr);
        if (request.registration == StartupRequest::Registration::Register)
            RegisterServer(module, module);
        else
            UnregisterServer(module);
        hosting_ = false;
        return FALSE;
    }

    hosting_ = true;
    interfaceAnchors_ = std::make_unique<InterfaceAnchors>();
    HoldServerInterfaces(*interfaceAnchors_);
    Module().StartMonitor();
    if (IClassFactory* factory = ClassFactory<OPCServer>::New()) {
        Module().RegisterClassObject(kServerClsid, factory, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
        factory->Release();
    }
    CoResumeClassObjects();
    sessionEndWatcher_ = std::make_unique<SessionEndWatcher>();
    sessionEndWatcher_->Create(GetModuleHandleW(nullptr));
    endedClientWatch_ = std::make_unique<EndedClientWatch>();
    endedClientWatch_->Start();
    LoadDrivers();

    if (request.defaultSettings) {
        const DefaultSettingsResult result = RunDefaultSettings(nullptr);
        if (result == DefaultSettingsResult::Cancelled ||
            result == DefaultSettingsResult::RegistryFailed)
            return FALSE;
    } else {
        // Without the AppID key (or any default configuration) the drivers simply stay
        // unconfigured: start-up must finish, or clients would wait for ever. A named file
        // that did not load is the configuration problem every client sees in GetStatus.
        const LoadOutcome outcome = LoadDefaultConfiguration();
        if (outcome != LoadOutcome::Loaded && outcome != LoadOutcome::NotNamed)
            WriteServerLog(ConfigurationProblem());
    }
    SetReportingMode(ReadReportChangesOnly() ? ReportingMode::kChangesOnly
                                             : ReportingMode::kEveryItem);
    if (request.configure) ShowConfigurator();
    SetApplicationReady();
    // Two activations at once start two processes, and the first to register serves both
    // clients: the other must not wait for ever for a client of its own.
    if (request.embedding && !request.configure) Module().StartGracePeriod();
    return TRUE;
}

void CServerApp::ShowConfigurator() {
    auto frame = std::make_unique<CConfigurator>();
    if (!frame->Create(GetModuleHandleW(nullptr))) return;
    const HANDLE icon =
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    SendMessageW(frame->Window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    ShowWindow(frame->Window(), SW_SHOWNOACTIVATE);
    // The last client leaving must not take the user's window with it: the window keeps the
    // server alive, and closing it ends the process whoever is connected.
    Module().Lock();
    configurator_ = std::move(frame);
}

int CServerApp::Run() {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (configurator_ && configurator_->PreTranslateMessage(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

int CServerApp::ExitInstance() {
    if (hosting_) {
        // Clients still connected (the configurator was closed) hear of the end first.
        NotifyClientsOfShutdown(kShutdownReason, kShutdownNoticeLimitMs);
        endedClientWatch_.reset();
        Module().WaitForPendingActivity();
        Module().RevokeClassObjects();
        Sleep(1000);
        ReleasePublicGroups();
        // Clients may still hold server objects (the configurator was closed): no driver
        // entry point may run once the DLLs are released.
        Scanner().StopNow();
        UnloadDrivers();
    }
    // The frame empties its tree before its window goes, if the user has not closed it.
    configurator_.reset();
    sessionEndWatcher_.reset();
    interfaceAnchors_.reset();
    if (comInitialised_) CoUninitialize();
    return 0;
}

CServerApp::CServerApp() = default;
CServerApp::~CServerApp() = default;
