// opcnullserver.exe: an OPC server that does no work of its own (see null_group.h), for
// measuring what a real server's item calls cost beyond the platform's marshaling. COM starts
// it for a client ("-Embedding"); it ends a grace period after the last client went.
// "/RegServer" and "/UnregServer" write and remove its registration.
#include <windows.h>
#include <objbase.h>

#include "class_factory.h"
#include "com_ptr.h"
#include "local_server.h"
#include "local_server_main.h"
#include "null_registration.h"
#include "null_server.h"
#include "null_server_identity.h"
#include "opc.h"
#include "registration.h"

namespace {

int Register(StartupRequest::Registration what) {
    if (what == StartupRequest::Registration::Unregister) {
        UnregisterNullServer();
        return 0;
    }
    return RegisterNullServer(ModuleRegistrationPath(nullptr)) == ERROR_SUCCESS ? 0 : 1;
}

int Serve(bool startedByCom) {
    ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Attach(ClassFactory<NullServer>::New());
    // The same anchors as the real server's for what both hand out, so that neither pays for
    // registering an interface again when a client's groups come and go.
    return ServeLocalClass(kNullServerClsid, factory.Get(),
                           {IID_IUnknown, IID_IClassFactory, IID_IOPCCommon, IID_IOPCServer,
                            IID_IOPCItemMgt, IID_IOPCGroupStateMgt, IID_IOPCSyncIO},
                           startedByCom);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return RunLocalServerMain(Register, Serve);
}
