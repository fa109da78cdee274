// A client process that dies while subscribed, for the data-callback tests:
//   subscriber_client GROUP MS
// connects, advises a sink on the public group GROUP, takes callbacks for MS milliseconds,
// prints "callbacks N" and then kills itself, leaving its connection behind as a crashed
// client would. Exit code 9 after the kill, 1 when a call failed.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cwchar>

#include "com_ptr.h"
#include "opc.h"
#include "recording_sink.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CLSID clsid;
    ComPtr<IOPCServerPublicGroups> server;
    HRESULT hr = CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServerPublicGroups,
                              server.PutVoid());
    IUnknown* unk = nullptr;
    if (SUCCEEDED(hr))
        hr = server->GetPublicGroupByName(argv[1], IID_IConnectionPointContainer, &unk);
    ComPtr<IConnectionPointContainer> container =
        ComPtr<IConnectionPointContainer>::Attach(static_cast<IConnectionPointContainer*>(unk));
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, point.Put());
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;
    if (SUCCEEDED(hr)) hr = point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie);
    if (FAILED(hr)) {
        printf("failed 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    Sleep(wcstoul(argv[2], nullptr, 10));
    printf("callbacks %u\n", static_cast<unsigned>(sink->Count(DataCall::kDataChange)));
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 9);
    return 9;
}
