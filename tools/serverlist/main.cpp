// opcserverlist.exe: our OPC server list, a local server of its own beside the OPC server, for
// machines without the OPC Foundation's. COM starts it for a client ("-Embedding"); it ends a
// grace period after the last client went, as the OPC server does. "/RegServer" and
// "/UnregServer" write and remove its registration (see server_list_registration.h).
#include <windows.h>
#include <objbase.h>
#include <comcat.h>

#include "ansi_text.h"
#include "class_factory.h"
#include "com_ptr.h"
#include "local_server.h"
#include "local_server_main.h"
#include "opc.h"
#include "server_list_identity.h"
#include "registration.h"
#include "server_list.h"
#include "server_list_registration.h"

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
    ComPtr<IClassFactory> factory =
        ComPtr<IClassFactory>::Attach(ClassFactory<OPCServerList>::New());
    return ServeLocalClass(CLSID_OpcServerList, factory.Get(),
                           {IID_IUnknown, IID_IClassFactory, IID_IOPCServerList,
                            IID_IOPCServerList2, IID_IOPCEnumGUID, IID_IEnumGUID},
                           startedByCom);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return RunLocalServerMain(Register, Serve);
}
