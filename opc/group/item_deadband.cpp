// IOPCItemDeadbandMgt: percent deadbands of single items, in place of their group's.
//
// Only an analog item (one whose tag has an engineering range) takes one, as only its values
// are measured against a share of a range. While the server reports changes only, an item's
// own deadband decides for it instead of the group's; while it sends every item every cycle,
// the deadband is only stored, as the group's is. Values outside 0 to 100 are refused in
// either mode: unlike the group's deadband, no client of this server ever stored one unchecked.
#include "item_calls.h"

STDMETHODIMP COPCGroup::SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                        HRESULT** ppErrors) {
    if (ppErrors) *ppErrors = nullptr;
    if (ppErrors && dwCount && !pPercentDeadband) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](OPCItem& item, DWORD i) {
        if (!item.IsAnalog()) return OPC_E_DEADBANDNOTSUPPORTED;
        if (!IsPercentDeadband(pPercentDeadband[i])) return E_INVALIDARG;
        item.SetDeadband(pPercentDeadband[i]);
        // An item held back under the old deadband may be due under the new one though its
        // tag has no news: the next cycle looks at every item.
        CachesChanged();
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer,
                                        FLOAT** ppPercentDeadband, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemCall(dwCount, phServer, ppPercentDeadband, ppErrors));
    return ComCall([&] {
        CoTaskArray<FLOAT> deadbands(dwCount);
        const HRESULT hr = ForEachItem(dwCount, phServer, ppErrors, [&](OPCItem& item, DWORD i) {
            if (!item.IsAnalog()) return OPC_E_DEADBANDNOTSUPPORTED;
            if (!item.HasDeadband()) return OPC_E_DEADBANDNOTSET;
            deadbands[i] = item.Deadband();
            return S_OK;
        });
        if (SUCCEEDED(hr)) *ppPercentDeadband = deadbands.Detach();
        return hr;
    });
}

STDMETHODIMP COPCGroup::ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    return ForEachItem(dwCount, phServer, ppErrors, [&](OPCItem& item, DWORD) {
        if (!item.IsAnalog()) return OPC_E_DEADBANDNOTSUPPORTED;
        if (!item.HasDeadband()) return OPC_E_DEADBANDNOTSET;
        item.ClearDeadband();
        CachesChanged();  // the group's deadband may let out what the item's held back
        return S_OK;
    });
}
