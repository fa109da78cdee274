#include "null_server.h"

#include <algorithm>
#include <string>

#include "co_task_mem.h"
#include "com_call.h"
#include "null_error_text.h"

namespace {

constexpr LCID kLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
constexpr const wchar_t* kVendorInfo = L"OPC null server for benchmarks: no data source";

}  // namespace

NullServer::NullServer() {
    CoFileTimeNow(&startTime_);
}

STDMETHODIMP NullServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                  OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                  DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                  REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk) *ppUnk = nullptr;
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk) return E_POINTER;
    RETURN_IF_FAILED(CheckDeadband(pPercentDeadband));
    return ComCall([&] {
        NullGroupState state;
        state.active = bActive;
        state.updateRate = std::max(dwRequestedUpdateRate, kFastestUpdateRate);
        state.clientHandle = hClientGroup;
        state.timeBias = pTimeBias ? *pTimeBias : 0;
        state.percentDeadband = pPercentDeadband ? *pPercentDeadband : 0;
        state.lcid = dwLCID;
        CriticalSectionLock lock(lock_);
        const OPCHANDLE handle = nextGroup_++;
        if (szName && *szName) {
            state.name = szName;
            for (const auto& [h, group] : groups_)
                if (group->Name() == state.name) return OPC_E_DUPLICATENAME;
        } else {
            state.name = L"Group " + std::to_wstring(handle);
        }
        ComPtr<NullGroup> group = NullGroup::Make(handle, std::move(state));
        ComPtr<IUnknown> answer;
        RETURN_IF_FAILED(group->QueryInterface(riid, answer.PutVoid()));
        groups_.emplace(handle, group);
        *ppUnk = answer.Detach();
        *phServerGroup = handle;
        *pRevisedUpdateRate = std::max(dwRequestedUpdateRate, kFastestUpdateRate);
        return *pRevisedUpdateRate != dwRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
    });
}

STDMETHODIMP NullServer::GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString) {
    return NullErrorText(dwError, ppString);
}

STDMETHODIMP NullServer::GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) {
    RETURN_HR_IF_NULL(E_POINTER, ppUnk);
    *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP NullServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    RETURN_HR_IF_NULL(E_POINTER, ppServerStatus);
    *ppServerStatus = nullptr;
    return ComCall([&] {
        CoTaskArray<OPCSERVERSTATUS> status(1);
        CoTaskString vendor(kVendorInfo);
        status[0].ftStartTime = startTime_;
        CoFileTimeNow(&status[0].ftCurrentTime);
        status[0].ftLastUpdateTime = startTime_;
        status[0].dwServerState = OPC_STATUS_RUNNING;
        {
            CriticalSectionLock lock(lock_);
            status[0].dwGroupCount = static_cast<DWORD>(groups_.size());
        }
        status[0].dwBandWidth = 0xFFFFFFFF;
        status[0].wMajorVersion = 1;
        status[0].szVendorInfo = vendor.Detach();
        *ppServerStatus = status.Detach();
        return S_OK;
    });
}

STDMETHODIMP NullServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL) {
    // The client's references keep the group object alive; the server's goes here, after the
    // lock (a last release runs the group's destructor).
    ComPtr<NullGroup> removed;
    CriticalSectionLock lock(lock_);
    const auto found = groups_.find(hServerGroup);
    if (found == groups_.end()) return E_INVALIDARG;
    removed = std::move(found->second);
    groups_.erase(found);
    return S_OK;
}

STDMETHODIMP NullServer::CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* ppUnk) {
    RETURN_HR_IF_NULL(E_POINTER, ppUnk);
    *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP NullServer::SetLocaleID(LCID dwLcid) {
    return dwLcid == kLocale || dwLcid == LOCALE_SYSTEM_DEFAULT || dwLcid == LOCALE_USER_DEFAULT
               ? S_OK
               : E_INVALIDARG;
}

STDMETHODIMP NullServer::GetLocaleID(LCID* pdwLcid) {
    RETURN_HR_IF_NULL(E_POINTER, pdwLcid);
    *pdwLcid = kLocale;
    return S_OK;
}

STDMETHODIMP NullServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    if (pdwLcid) *pdwLcid = nullptr;
    if (!pdwCount || !pdwLcid) return E_POINTER;
    *pdwCount = 0;
    return ComCall([&] {
        CoTaskArray<LCID> locales(1);
        locales[0] = kLocale;
        *pdwLcid = locales.Detach();
        *pdwCount = 1;
        return S_OK;
    });
}

STDMETHODIMP NullServer::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    return NullErrorText(dwError, ppString);
}

STDMETHODIMP NullServer::SetClientName(LPCWSTR szName) {
    return szName ? S_OK : E_INVALIDARG;
}
