// A client process that dies while subscribed, for the data-callback tests:
//   subscriber_client GROUP MS [da1]
// connects, advises a sink on the public group GROUP (an IOPCDataCallback, or with "da1" an
// IAdviseSink for the OPCSTMFORMATDATATIME stream), takes callbacks for MS milliseconds,
// prints "callbacks N" or "streams N" and then kills itself, leaving its connection behind as
// a crashed client would. Exit code 9 after the kill, 1 when a call failed.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cwchar>

#include "com_ptr.h"
#include "opc.h"
#include "recording_advise_sink.h"
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
    const bool da1 = argc > 3 && wcscmp(argv[3], L"da1") == 0;
    IUnknown* unk = nullptr;
    if (SUCCEEDED(hr)) hr = server->GetPublicGroupByName(argv[1], IID_IUnknown, &unk);
    ComPtr<IUnknown> group = ComPtr<IUnknown>::Attach(unk);
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    ComPtr<RecordingAdviseSink> streams = RecordingAdviseSink::Make();
    if (SUCCEEDED(hr) && da1) {
        ComPtr<IDataObject> data;
        hr = group.As(data);
        FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                         nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        if (SUCCEEDED(hr)) hr = data->DAdvise(&format, 0, streams.Get(), &connection);
    } else if (SUCCEEDED(hr)) {
        ComPtr<IConnectionPointContainer> container;
        hr = group.As(container);
        ComPtr<IConnectionPoint> point;
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, point.Put());
        DWORD cookie = 0;
        if (SUCCEEDED(hr)) hr = point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie);
    }
    if (FAILED(hr)) {
        printf("failed 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    Sleep(wcstoul(argv[2], nullptr, 10));
    if (da1)
        printf("streams %u\n", static_cast<unsigned>(streams->Streams().size()));
    else
        printf("callbacks %u\n", static_cast<unsigned>(sink->Count(DataCall::kDataChange)));
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 9);
    return 9;
}
