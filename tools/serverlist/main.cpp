// opcserverlist.exe: our OPC server list, a local server of its own beside the OPC server, for
// machines without the OPC Foundation's. COM starts it for a client ("-Embedding"); it ends a
// grace period after the last client went, as the OPC server does. "/RegServer" and
// "/UnregServer" write and remove its registration (see server_list_registration.h).
#include <windows.h>
#include <objbase.h>
#include <comcat.h>

#include "ansi_text.h"
#include "class_factory.h"
#include "command_line.h"
#include "interface_anchors.h"
#include "opc.h"
#include "server_list_identity.h"
#include "registration.h"
#include "server_list.h"
#include "server_list_registration.h"
#include "server_module.h"

namespace {

// Tells whoever ran the switch what happened (the output goes nowhere when nobody listens).
void Report(const char* text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (out && out != INVALID_HANDLE_VALUE)
        WriteFile(out, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

int Register(StartupRequest::Registration what) {
    const ServerListRegistration outcome = what == StartupRequest::Registration::Register
                                               ? RegisterServerList(ModuleRegistrationPath(nullptr))
                                               : UnregisterServerList();
    Report(RegistrationText(outcome));
    return outcome == ServerListRegistration::Failed ? 1 : 0;
}

int Serve(bool startedByCom) {
    // The monitor posts WM_QUIT to this thread: make sure it has a message queue.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    Module().SetMainThreadId(GetCurrentThreadId());
    // See interface_anchors.h: the last release of an enumerator must not unregister its
    // interface while another client's call is running.
    InterfaceAnchors anchors;
    anchors.Hold({IID_IUnknown, IID_IClassFactory, IID_IOPCServerList, IID_IOPCServerList2,
                  IID_IOPCEnumGUID, IID_IEnumGUID});
    Module().StartMonitor();
    if (IClassFactory* factory = ClassFactory<OPCServerList>::New()) {
        Module().RegisterClassObject(CLSID_OpcServerList, factory,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
        factory->Release();
    }
    CoResumeClassObjects();
    // Two activations at once start two processes and the first to register serves both:
    // the other must end by itself.
    if (startedByCom) Module().StartGracePeriod();
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    Module().WaitForPendingActivity();
    Module().RevokeClassObjects();
    Module().StopMonitor();
    anchors.Release();
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // No configurator here: "true" lets its switches fall through like unknown ones.
    const StartupRequest request = ParseCommandLine(ArgumentsOf(GetCommandLineA()), true);
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const int result = request.registration != StartupRequest::Registration::None
                           ? Register(request.registration)
                           : Serve(request.embedding);
    if (com) CoUninitialize();
    return result;
}
