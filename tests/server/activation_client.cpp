// A client process for the activation race test, started twice at the same moment:
//   activation_client NAME ITEM
// releases the named semaphore "NAME.ready" once, waits for the named event "NAME.start",
// activates the server as a local server, adds ITEM to a group of
// its own and reads it from the device, then holds the server for a second so that the other
// client's activation overlaps its own. Prints "ok VALUE" and exits 0 when the item was there;
// prints what failed and exits 1 otherwise.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <string>

#include "com_ptr.h"
#include "opc.h"
#include "win_handle.h"

namespace {

int Fail(const char* what, HRESULT hr) {
    printf("failed: %s 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 1;
}

int Run(const std::wstring& name, const wchar_t* item) {
    UniqueHandle ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (name + L".ready").c_str()));
    UniqueHandle start(OpenEventW(SYNCHRONIZE, FALSE, (name + L".start").c_str()));
    if (!ready || !start) return Fail("opening the signals", HRESULT_FROM_WIN32(GetLastError()));
    ReleaseSemaphore(ready.Get(), 1, nullptr);
    if (WaitForSingleObject(start.Get(), 60000) != WAIT_OBJECT_0)
        return Fail("waiting for the start", E_FAIL);

    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &clsid);
    if (FAILED(hr)) return Fail("CLSIDFromProgID", hr);
    ComPtr<IOPCServer> server;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid());
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    OPCHANDLE group = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    hr = server->AddGroup(L"", FALSE, 1000, 0, nullptr, nullptr, 1049, &group, &revised,
                          IID_IOPCItemMgt, &unk);
    if (FAILED(hr)) return Fail("AddGroup", hr);
    ComPtr<IOPCItemMgt> items = ComPtr<IOPCItemMgt>::Attach(static_cast<IOPCItemMgt*>(unk));
    ComPtr<IOPCSyncIO> io;
    hr = items.As(io);
    if (FAILED(hr)) return Fail("IOPCSyncIO", hr);

    OPCITEMDEF def{};
    def.szAccessPath = const_cast<wchar_t*>(L"");
    def.szItemID = const_cast<wchar_t*>(item);
    def.bActive = TRUE;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(1, &def, &results, &errors);
    const HRESULT itemError = errors ? errors[0] : hr;
    const OPCHANDLE handle = results ? results[0].hServer : 0;
    if (results) CoTaskMemFree(results[0].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    if (hr != S_OK) return Fail("AddItems", itemError);

    OPCITEMSTATE* states = nullptr;
    hr = io->Read(OPC_DS_DEVICE, 1, const_cast<OPCHANDLE*>(&handle), &states, &errors);
    if (hr != S_OK) return Fail("Read", hr);
    VARIANT text;
    VariantInit(&text);
    VariantChangeTypeEx(&text, &states[0].vDataValue, 0x409, 0, VT_BSTR);
    printf("ok %ls\n", V_VT(&text) == VT_BSTR ? V_BSTR(&text) : L"?");
    fflush(stdout);
    VariantClear(&text);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    Sleep(1000);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: activation_client NAME ITEM\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    const int result = Run(argv[1], argv[2]);
    CoUninitialize();
    return result;
}
