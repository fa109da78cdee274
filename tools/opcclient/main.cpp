// opcclient: a command-line OPC DA client that speaks only the standard interfaces, so it
// works against any OPC DA server.
#include <windows.h>
#include <cwchar>
#include <string>

#include "co_task_mem.h"
#include "com_ptr.h"
#include "console_output.h"
#include "opc.h"

namespace {

constexpr const wchar_t* kUsage =
    L"usage: opcclient status PROGID\n"
    L"  status   connect to the server and print its status, locale and vendor text\n";

std::wstring FormatTime(const FILETIME& utc) {
    FILETIME local;
    SYSTEMTIME t;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t)) return L"?";
    wchar_t text[64];
    swprintf(text, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

const wchar_t* StateName(OPCSERVERSTATE state) {
    switch (state) {
        case OPC_STATUS_RUNNING:
            return L"running";
        case OPC_STATUS_FAILED:
            return L"failed";
        case OPC_STATUS_NOCONFIG:
            return L"no configuration";
        case OPC_STATUS_SUSPENDED:
            return L"suspended";
        case OPC_STATUS_TEST:
            return L"test";
        case OPC_STATUS_COMM_FAULT:
            return L"communication fault";
    }
    return L"unknown";
}

std::wstring HexCode(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

int Fail(const std::wstring& message) {
    WriteErr(L"opcclient: " + message + L"\n");
    return 1;
}

int Status(const wchar_t* progId) {
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(progId, &clsid)))
        return Fail(std::wstring(L"no server registered as ") + progId);
    ComPtr<IOPCServer> server;
    HRESULT hr =
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.PutVoid());
    if (FAILED(hr)) return Fail(std::wstring(L"cannot start ") + progId + L": " + HexCode(hr));
    OPCSERVERSTATUS* status = nullptr;
    hr = server->GetStatus(&status);
    if (FAILED(hr) || !status) return Fail(L"GetStatus failed: " + HexCode(hr));
    CoTaskString vendor;
    *vendor.Put() = status->szVendorInfo;
    const OPCSERVERSTATUS s = *status;
    CoTaskMemFree(status);

    wchar_t clsidText[40] = L"";
    StringFromGUID2(clsid, clsidText, 40);
    std::wstring out;
    out += L"Server:       " + std::wstring(progId) + L" " + clsidText + L"\n";
    out += L"State:        " + std::wstring(StateName(s.dwServerState)) + L"\n";
    out += L"Started:      " + FormatTime(s.ftStartTime) + L"\n";
    out += L"Current time: " + FormatTime(s.ftCurrentTime) + L"\n";
    out += L"Last update:  " + FormatTime(s.ftLastUpdateTime) + L"\n";
    out += L"Groups:       " + std::to_wstring(s.dwGroupCount) + L"\n";
    out += L"Version:      " + std::to_wstring(s.wMajorVersion) + L"." +
           std::to_wstring(s.wMinorVersion) + L"." + std::to_wstring(s.wBuildNumber) + L"\n";
    out += L"Vendor:       " + std::wstring(vendor.Get() ? vendor.Get() : L"") + L"\n";
    ComPtr<IOPCCommon> common;
    LCID locale = 0;
    if (SUCCEEDED(server.As(common)) && SUCCEEDED(common->GetLocaleID(&locale)))
        out += L"Locale:       " + std::to_wstring(locale) + L"\n";
    WriteOut(out);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || wcscmp(argv[1], L"--help") == 0 || wcscmp(argv[1], L"-h") == 0) {
        WriteOut(kUsage);
        return argc < 2 ? 2 : 0;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result;
    if (wcscmp(argv[1], L"status") == 0 && argc == 3)
        result = Status(argv[2]);
    else
        result = Fail(std::wstring(L"unknown command or arguments (see opcclient --help)"));
    CoUninitialize();
    return result;
}
