// A client process for the client-count race tests, run by them beside another one:
//   count_race_client churn ITEM ITEMS STOP_EVENT   adds ITEMS items of ITEM in one call and
//                                                   removes them, again and again, until the
//                                                   named event is set
//   count_race_client write ITEM COUNT FIRST        writes FIRST+1 ... FIRST+COUNT (VT_I4),
//                                                   reading each back from the device
//   count_race_client climb ITEM COUNT              reads a counter from the device COUNT
//                                                   times; every device read updates the
//                                                   driver first, which counts it up, so
//                                                   each read must see it higher
// Prints one line "NAME: N of M" (lost writes, lost updates, cycles) and exits 0 when
// nothing was lost, 3 when something was, 1 when a call failed.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "opc.h"

namespace {

int Fail(const char* what, HRESULT hr) {
    printf("failed: %s 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 1;
}

struct Client {
    ComPtr<IOPCServer> server;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    OPCHANDLE group = 0;

    HRESULT Connect() {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &clsid);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  server.PutVoid());
        DWORD revised = 0;
        IUnknown* unk = nullptr;
        if (SUCCEEDED(hr))
            hr = server->AddGroup(L"", FALSE, 1000, 0, nullptr, nullptr, 1049, &group, &revised,
                                  IID_IOPCItemMgt, &unk);
        if (FAILED(hr)) return hr;
        items = ComPtr<IOPCItemMgt>::Attach(static_cast<IOPCItemMgt*>(unk));
        return items.As(io);
    }

    // The handles of `count` items of `id`; empty on failure.
    std::vector<OPCHANDLE> Add(const wchar_t* id, DWORD count) {
        std::vector<OPCITEMDEF> defs(count);
        for (OPCITEMDEF& d : defs) {
            d.szAccessPath = const_cast<wchar_t*>(L"");
            d.szItemID = const_cast<wchar_t*>(id);
            d.bActive = TRUE;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        std::vector<OPCHANDLE> handles;
        if (items->AddItems(count, defs.data(), &results, &errors) == S_OK)
            for (DWORD i = 0; i < count; ++i) handles.push_back(results[i].hServer);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return handles;
    }

    HRESULT Remove(std::vector<OPCHANDLE>& handles) {
        HRESULT* errors = nullptr;
        HRESULT hr =
            items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
        CoTaskMemFree(errors);
        return hr;
    }

    HRESULT ReadDevice(OPCHANDLE h, LONG& value) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = io->Read(OPC_DS_DEVICE, 1, &h, &states, &errors);
        if (hr == S_OK) {
            value = V_VT(&states[0].vDataValue) == VT_I4 ? V_I4(&states[0].vDataValue) : -1;
            VariantClear(&states[0].vDataValue);
        }
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return hr;
    }

    ~Client() {
        if (server && group) server->RemoveGroup(group, TRUE);
    }
};

int Churn(Client& c, const wchar_t* id, DWORD count, const wchar_t* stopName) {
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, stopName);
    if (!stop) return Fail("OpenEvent", HRESULT_FROM_WIN32(GetLastError()));
    unsigned long cycles = 0;
    while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
        std::vector<OPCHANDLE> handles = c.Add(id, count);
        if (handles.size() != count) return Fail("AddItems", E_FAIL);
        const HRESULT hr = c.Remove(handles);
        if (hr != S_OK) return Fail("RemoveItems", hr);
        ++cycles;
    }
    CloseHandle(stop);
    printf("cycles: %lu of %lu\n", cycles, cycles);
    return 0;
}

int WriteAndReadBack(Client& c, const wchar_t* id, long count, long first) {
    std::vector<OPCHANDLE> h = c.Add(id, 1);
    if (h.size() != 1) return Fail("AddItems", E_FAIL);
    long lost = 0;
    for (long k = 1; k <= count; ++k) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_I4;
        V_I4(&v) = first + k;
        HRESULT* errors = nullptr;
        HRESULT hr = c.io->Write(1, h.data(), &v, &errors);
        const HRESULT itemError = errors ? errors[0] : E_FAIL;
        CoTaskMemFree(errors);
        if (hr != S_OK || itemError != S_OK) return Fail("Write", FAILED(hr) ? hr : itemError);
        LONG back = 0;
        hr = c.ReadDevice(h[0], back);
        if (hr != S_OK) return Fail("Read", hr);
        if (back != first + k) ++lost;
    }
    printf("lost writes: %ld of %ld\n", lost, count);
    return lost ? 3 : 0;
}

int Climb(Client& c, const wchar_t* id, long count) {
    std::vector<OPCHANDLE> h = c.Add(id, 1);
    if (h.size() != 1) return Fail("AddItems", E_FAIL);
    LONG previous = LONG_MIN;
    long lost = 0;
    for (long k = 0; k < count; ++k) {
        LONG now = 0;
        const HRESULT hr = c.ReadDevice(h[0], now);
        if (hr != S_OK) return Fail("Read", hr);
        if (now <= previous) ++lost;
        previous = now;
    }
    printf("lost updates: %ld of %ld\n", lost, count);
    return lost ? 3 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        printf("usage: count_race_client churn|write|climb ITEM ...\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = 1;
    {
        Client c;
        const HRESULT hr = c.Connect();
        const std::wstring mode = argv[1];
        if (FAILED(hr))
            result = Fail("connect", hr);
        else if (mode == L"churn" && argc == 5)
            result = Churn(c, argv[2], wcstoul(argv[3], nullptr, 10), argv[4]);
        else if (mode == L"write" && argc == 5)
            result = WriteAndReadBack(c, argv[2], wcstol(argv[3], nullptr, 10),
                                      wcstol(argv[4], nullptr, 10));
        else if (mode == L"climb" && argc == 4)
            result = Climb(c, argv[2], wcstol(argv[3], nullptr, 10));
        else
            result = 2;
    }
    fflush(stdout);
    CoUninitialize();
    return result;
}
