#include "local_server.h"

#include "interface_anchors.h"
#include "server_module.h"

int ServeLocalClass(REFCLSID clsid, IClassFactory* factory, std::initializer_list<IID> anchored,
                    bool startedByCom) noexcept {
    // The monitor posts WM_QUIT to this thread: make sure it has a message queue.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    Module().SetMainThreadId(GetCurrentThreadId());
    // The last release of an object must not unregister its interface while another client's
    // call is running.
    InterfaceAnchors anchors;
    anchors.Hold(anchored);
    Module().StartMonitor();
    if (factory)
        Module().RegisterClassObject(clsid, factory, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    CoResumeClassObjects();
    if (startedByCom) Module().StartGracePeriod();
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    Module().WaitForPendingActivity();
    Module().RevokeClassObjects();
    Module().StopMonitor();
    anchors.Release();
    return 0;
}
