#include "opc_server.h"

#include "co_task_mem.h"
#include "com_call.h"
#include "error_text.h"
#include "ready_flag.h"
#include "scan_thread.h"

namespace {
constexpr const wchar_t* kVendorInfo = L"ВЕКСА: OPC DA сервер с драйверами";
}

OPCServer::OPCServer() noexcept {
    CoFileTimeNow(&startTime_);
}

OPCServer::~OPCServer() {
    if (scanStarted_) Scanner().RequestStop();
}

HRESULT OPCServer::FinalConstruct() {
    WaitForApplicationReady();
    Scanner().RequestStart();
    scanStarted_ = true;
    return S_OK;
}

STDMETHODIMP OPCServer::SetLocaleID(LCID) {
    return E_NOTIMPL;
}

STDMETHODIMP OPCServer::GetLocaleID(LCID* lcid) {
    RETURN_HR_IF_NULL(E_POINTER, lcid);
    *lcid = kLocale;
    return S_OK;
}

STDMETHODIMP OPCServer::QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    RETURN_HR_IF_NULL(E_POINTER, lcids);
    return ComCall([&] {
        CoTaskArray<LCID> list(1);
        list[0] = kLocale;
        *lcids = list.Detach();
        *count = 1;
        return S_OK;
    });
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT error, LPWSTR* text) {
    return ErrorText(error, text);
}

STDMETHODIMP OPCServer::SetClientName(LPCWSTR name) {
    return ComCall([&] {
        std::wstring copy = name ? name : L"";
        CriticalSectionLock lock(stateLock_);
        clientName_.swap(copy);
        return S_OK;
    });
}

STDMETHODIMP OPCServer::AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD,
                                 OPCHANDLE* hServerGroup, DWORD*, REFIID, LPUNKNOWN* unk) {
    RETURN_HR_IF_NULL(E_POINTER, hServerGroup);
    RETURN_HR_IF_NULL(E_POINTER, unk);
    *unk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT error, LCID, LPWSTR* text) {
    return ErrorText(error, text);
}

STDMETHODIMP OPCServer::GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* unk) {
    RETURN_HR_IF_NULL(E_POINTER, unk);
    *unk = nullptr;
    return E_FAIL;
}

STDMETHODIMP OPCServer::GetStatus(OPCSERVERSTATUS** status) {
    RETURN_HR_IF_NULL(E_POINTER, status);
    *status = nullptr;
    return ComCall([&] {
        CoTaskArray<OPCSERVERSTATUS> s(1);
        CoTaskString vendor(kVendorInfo);
        s[0].ftStartTime = startTime_;
        CoFileTimeNow(&s[0].ftCurrentTime);
        s[0].ftLastUpdateTime = startTime_;
        s[0].dwServerState = OPC_STATUS_RUNNING;
        s[0].dwGroupCount = 0;
        s[0].dwBandWidth = 0xFFFFFFFF;
        s[0].wMajorVersion = 1;
        s[0].wMinorVersion = 0;
        s[0].wBuildNumber = 1;
        s[0].szVendorInfo = vendor.Detach();
        *status = s.Detach();
        return S_OK;
    });
}

STDMETHODIMP OPCServer::RemoveGroup(OPCHANDLE, BOOL) {
    return E_FAIL;
}

STDMETHODIMP OPCServer::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* unk) {
    RETURN_HR_IF_NULL(E_POINTER, unk);
    *unk = nullptr;
    return E_NOTIMPL;
}
