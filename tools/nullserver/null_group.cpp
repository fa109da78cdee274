#include "null_group.h"

#include <algorithm>

#include "co_task_mem.h"
#include "com_call.h"

namespace {

// The null outs first (a failure leaves them so), then the count and the array.
template <class... Outs>
HRESULT BeginCall(DWORD count, const void* array, Outs**... outs) noexcept {
    if (((outs == nullptr) || ...)) return E_POINTER;
    ((*outs = nullptr), ...);
    return count == 0 || !array ? E_INVALIDARG : S_OK;
}

// A type a VT_R8 converts to, so that reads in it cannot fail later.
bool Convertible(VARTYPE type) noexcept {
    if (type == VT_EMPTY || type == VT_R8) return true;
    VARIANT probe, converted;
    V_VT(&probe) = VT_R8;
    V_R8(&probe) = 0;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeType(&converted, &probe, 0, type);
    VariantClear(&converted);
    return SUCCEEDED(hr);
}

}  // namespace

HRESULT CheckDeadband(const FLOAT* percent) noexcept {
    return percent && !(*percent >= 0 && *percent <= 100) ? E_INVALIDARG : S_OK;
}

std::wstring NullGroup::Name() const {
    CriticalSectionLock lock(lock_);
    return state_.name;
}

HRESULT NullGroup::DefineItems(DWORD count, const OPCITEMDEF* definitions, bool add,
                               OPCITEMRESULT** results, HRESULT** errors) noexcept {
    RETURN_IF_FAILED(BeginCall(count, definitions, results, errors));
    return ComCall([&] {
        CoTaskArray<OPCITEMRESULT> out(count);
        CoTaskArray<HRESULT> codes(count);
        bool anyError = false;
        {
            CriticalSectionLock lock(lock_);
            if (add) items_.reserve(items_.size() + count);
            for (DWORD i = 0; i < count; ++i) {
                const OPCITEMDEF& d = definitions[i];
                if (!d.szItemID || !*d.szItemID)
                    codes[i] = OPC_E_INVALIDITEMID;
                else if (!Convertible(d.vtRequestedDataType))
                    codes[i] = OPC_E_BADTYPE;
                anyError |= FAILED(codes[i]);
                if (FAILED(codes[i])) continue;
                out[i].vtCanonicalDataType = VT_R8;
                out[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
                if (!add) continue;
                out[i].hServer = nextItem_++;
                try {
                    items_.emplace(out[i].hServer,
                                   Item{d.hClient, d.vtRequestedDataType, d.bActive});
                } catch (...) {
                    // The client learns of no handle of a failed call: none may stay behind.
                    for (DWORD j = 0; j <= i; ++j)
                        if (out[j].hServer) items_.erase(out[j].hServer);
                    throw;
                }
            }
        }
        *results = out.Detach();
        *errors = codes.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

template <class Each>
HRESULT NullGroup::ForEachItem(DWORD count, const OPCHANDLE* handles, HRESULT** errors,
                               Each&& each) noexcept {
    RETURN_IF_FAILED(BeginCall(count, handles, errors));
    return ComCall([&] {
        CoTaskArray<HRESULT> codes(count);
        bool anyError = false;
        {
            CriticalSectionLock lock(lock_);
            for (DWORD i = 0; i < count; ++i) {
                const auto found = items_.find(handles[i]);
                codes[i] = found == items_.end() ? OPC_E_INVALIDHANDLE : each(found, i);
                anyError |= codes[i] != S_OK;
            }
        }
        *errors = codes.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

STDMETHODIMP NullGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                 OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    return DefineItems(dwCount, pItemArray, true, ppAddResults, ppErrors);
}

STDMETHODIMP NullGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL,
                                      OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    // No item has a blob to update.
    return DefineItems(dwCount, pItemArray, false, ppValidationResults, ppErrors);
}

STDMETHODIMP NullGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    return ForEachItem(dwCount, phServer, ppErrors, [&](auto found, DWORD) {
        items_.erase(found);
        return S_OK;
    });
}

STDMETHODIMP NullGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                       HRESULT** ppErrors) {
    return ForEachItem(dwCount, phServer, ppErrors, [&](auto found, DWORD) {
        found->second.active = bActive;
        return S_OK;
    });
}

STDMETHODIMP NullGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                         HRESULT** ppErrors) {
    if (ppErrors) *ppErrors = nullptr;
    if (!phClient) return ppErrors ? E_INVALIDARG : E_POINTER;
    return ForEachItem(dwCount, phServer, ppErrors, [&](auto found, DWORD i) {
        found->second.client = phClient[i];
        return S_OK;
    });
}

STDMETHODIMP NullGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                     VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
    if (ppErrors) *ppErrors = nullptr;
    if (!pRequestedDatatypes) return ppErrors ? E_INVALIDARG : E_POINTER;
    return ForEachItem(dwCount, phServer, ppErrors, [&](auto found, DWORD i) {
        if (!Convertible(pRequestedDatatypes[i])) return OPC_E_BADTYPE;
        found->second.requested = pRequestedDatatypes[i];
        return S_OK;
    });
}

STDMETHODIMP NullGroup::CreateEnumerator(REFIID, LPUNKNOWN* ppUnk) {
    RETURN_HR_IF_NULL(E_POINTER, ppUnk);
    *ppUnk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP NullGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                             OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginCall(dwCount, phServer, ppItemValues, ppErrors));
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
    return ComCall([&] {
        CoTaskArray<OPCITEMSTATE> states(dwCount);
        CoTaskArray<HRESULT> codes(dwCount);
        FILETIME now;
        CoFileTimeNow(&now);
        bool anyError = false;
        {
            // Nothing below throws: the values need no clean-up path.
            CriticalSectionLock lock(lock_);
            for (DWORD i = 0; i < dwCount; ++i) {
                const auto found = items_.find(phServer[i]);
                if (found == items_.end()) {
                    codes[i] = OPC_E_INVALIDHANDLE;
                    anyError = true;
                    continue;
                }
                OPCITEMSTATE& s = states[i];
                s.hClient = found->second.client;
                s.ftTimeStamp = now;
                s.wQuality = OPC_QUALITY_GOOD;
                V_VT(&s.vDataValue) = VT_R8;
                V_R8(&s.vDataValue) = 0;
                const VARTYPE type = found->second.requested;
                if (type != VT_EMPTY && type != VT_R8)
                    codes[i] = VariantChangeType(&s.vDataValue, &s.vDataValue, 0, type);
                anyError |= codes[i] != S_OK;
            }
        }
        *ppItemValues = states.Detach();
        *ppErrors = codes.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

STDMETHODIMP NullGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              HRESULT** ppErrors) {
    if (ppErrors) *ppErrors = nullptr;
    if (!pItemValues) return ppErrors ? E_INVALIDARG : E_POINTER;
    return ForEachItem(dwCount, phServer, ppErrors, [](auto, DWORD) { return S_OK; });
}

STDMETHODIMP NullGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                 FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                 OPCHANDLE* phServerGroup) {
    if (ppName) *ppName = nullptr;
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
        !phClientGroup || !phServerGroup)
        return E_POINTER;
    return ComCall([&] {
        CriticalSectionLock lock(lock_);
        *ppName = CoTaskStrDup(state_.name.c_str());
        *pUpdateRate = state_.updateRate;
        *pActive = state_.active;
        *pTimeBias = state_.timeBias;
        *pPercentDeadband = state_.percentDeadband;
        *pLCID = state_.lcid;
        *phClientGroup = state_.clientHandle;
        *phServerGroup = serverHandle_;
        return S_OK;
    });
}

STDMETHODIMP NullGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                 BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                 DWORD* pLCID, OPCHANDLE* phClientGroup) {
    RETURN_HR_IF_NULL(E_POINTER, pRevisedUpdateRate);
    RETURN_IF_FAILED(CheckDeadband(pPercentDeadband));
    CriticalSectionLock lock(lock_);
    if (pRequestedUpdateRate)
        state_.updateRate = std::max(*pRequestedUpdateRate, kFastestUpdateRate);
    if (pActive) state_.active = *pActive;
    if (pTimeBias) state_.timeBias = *pTimeBias;
    if (pPercentDeadband) state_.percentDeadband = *pPercentDeadband;
    if (pLCID) state_.lcid = *pLCID;
    if (phClientGroup) state_.clientHandle = *phClientGroup;
    *pRevisedUpdateRate = state_.updateRate;
    return pRequestedUpdateRate && *pRequestedUpdateRate != state_.updateRate
               ? OPC_S_UNSUPPORTEDRATE
               : S_OK;
}

STDMETHODIMP NullGroup::SetName(LPCWSTR szName) {
    if (!szName || !*szName) return E_INVALIDARG;
    return ComCall([&] {
        std::wstring name = szName;
        CriticalSectionLock lock(lock_);
        state_.name.swap(name);
        return S_OK;
    });
}

STDMETHODIMP NullGroup::CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) {
    RETURN_HR_IF_NULL(E_POINTER, ppUnk);
    *ppUnk = nullptr;
    return E_NOTIMPL;
}
