// The null server (tools/nullserver) for the tests that measure against it or call it.
// Whatever process starts it through COM hands it its standard handles, and a reader of those
// pipes (CTest, RunChild) waits until the server ends, a grace period after its last client:
// the tests start it from their own process and stop it at the end.
#pragma once

#include <windows.h>

#include "child_process.h"
#include "com_ptr.h"
#include "opc.h"

inline ComPtr<IOPCServer> ConnectNullServer() {
    CLSID clsid;
    ComPtr<IOPCServer> server;
    if (SUCCEEDED(CLSIDFromProgID(L"OPCNullServer.Bench.1", &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid());
    return server;
}

inline void StopNullServers() {
    for (DWORD id : ProcessesNamed(L"opcnullserver.exe"))
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            StopServer(process, id);
            CloseHandle(process);
        }
}
