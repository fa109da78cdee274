#include "hresult_text.h"

#include <cwchar>

#include "opc.h"

namespace {

const wchar_t* CodeName(HRESULT code) {
    switch (code) {
        case OPC_E_INVALIDHANDLE:
            return L"OPC_E_INVALIDHANDLE";
        case OPC_E_BADTYPE:
            return L"OPC_E_BADTYPE";
        case OPC_E_PUBLIC:
            return L"OPC_E_PUBLIC";
        case OPC_E_BADRIGHTS:
            return L"OPC_E_BADRIGHTS";
        case OPC_E_UNKNOWNITEMID:
            return L"OPC_E_UNKNOWNITEMID";
        case OPC_E_INVALIDITEMID:
            return L"OPC_E_INVALIDITEMID";
        case OPC_E_INVALIDFILTER:
            return L"OPC_E_INVALIDFILTER";
        case OPC_E_UNKNOWNPATH:
            return L"OPC_E_UNKNOWNPATH";
        case OPC_E_RANGE:
            return L"OPC_E_RANGE";
        case OPC_E_DUPLICATENAME:
            return L"OPC_E_DUPLICATENAME";
        case OPC_S_UNSUPPORTEDRATE:
            return L"OPC_S_UNSUPPORTEDRATE";
        case OPC_S_CLAMP:
            return L"OPC_S_CLAMP";
        case OPC_S_INUSE:
            return L"OPC_S_INUSE";
        case OPC_E_INVALIDCONFIGFILE:
            return L"OPC_E_INVALIDCONFIGFILE";
        case OPC_E_NOTFOUND:
            return L"OPC_E_NOTFOUND";
        case OPC_E_INVALID_PID:
            return L"OPC_E_INVALID_PID";
        case OPC_E_DEADBANDNOTSET:
            return L"OPC_E_DEADBANDNOTSET";
        case OPC_E_DEADBANDNOTSUPPORTED:
            return L"OPC_E_DEADBANDNOTSUPPORTED";
        case OPC_E_NOTSUPPORTED:
            return L"OPC_E_NOTSUPPORTED";
        case OPC_E_NOBUFFERING:
            return L"OPC_E_NOBUFFERING";
        case OPC_E_INVALIDCONTINUATIONPOINT:
            return L"OPC_E_INVALIDCONTINUATIONPOINT";
        case OPC_S_DATAQUEUEOVERFLOW:
            return L"OPC_S_DATAQUEUEOVERFLOW";
        case OPC_E_RATENOTSET:
            return L"OPC_E_RATENOTSET";
        case E_FAIL:
            return L"E_FAIL";
        case E_INVALIDARG:
            return L"E_INVALIDARG";
        case E_OUTOFMEMORY:
            return L"E_OUTOFMEMORY";
        case E_NOINTERFACE:
            return L"E_NOINTERFACE";
        case E_ACCESSDENIED:
            return L"E_ACCESSDENIED";
        case DISP_E_TYPEMISMATCH:
            return L"DISP_E_TYPEMISMATCH";
        case DISP_E_OVERFLOW:
            return L"DISP_E_OVERFLOW";
        case REGDB_E_CLASSNOTREG:
            return L"REGDB_E_CLASSNOTREG";
        case CO_E_SERVER_EXEC_FAILURE:
            return L"CO_E_SERVER_EXEC_FAILURE";
        case RPC_E_DISCONNECTED:
            return L"RPC_E_DISCONNECTED";
        case RPC_E_SERVERFAULT:
            return L"RPC_E_SERVERFAULT";
    }
    return nullptr;
}

}  // namespace

std::wstring HexCode(HRESULT code) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

std::wstring CodeWithName(HRESULT code) {
    const wchar_t* name = CodeName(code);
    return name ? HexCode(code) + L" " + name : HexCode(code);
}

std::wstring SystemErrorText(HRESULT code) {
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text(message ? message : L"", n);
    if (message) LocalFree(message);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

std::wstring DescribeFailure(HRESULT code) {
    const std::wstring text = SystemErrorText(code);
    return text.empty() ? CodeWithName(code) : CodeWithName(code) + L" " + text;
}
