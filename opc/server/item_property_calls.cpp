// IOPCItemProperties of the server object, over the temporary records of property_looks.h:
// the value, quality and timestamp properties are the tag's own, and a look at an item's
// properties writes nothing to the driver. A driver that does not answer within the limit
// fails the call with E_FAIL.
#include "opc_server.h"

#include "ansi_text.h"
#include "co_task_mem.h"
#include "com_call.h"
#include "opc_group.h"
#include "property_looks.h"
#include "reply_budget.h"

namespace {

// The table of the identifier's temporary record, and what the identifier names.
ItemProperties PropertiesOf(const wchar_t* itemId, Look& look) {
    PropertyLook one = std::move(LookAtProperties(&itemId, 1).at(0));
    look = one.look;
    return std::move(one.table);
}

HRESULT CheckPropertyCount(DWORD count, const DWORD* ids) {
    if (count == 0 || !ids) return E_INVALIDARG;
    if (count > COPCGroup::kMaxItemsPerCall) return E_OUTOFMEMORY;
    return S_OK;
}

// Strings of an array still being filled go with it when an allocation fails.
struct StringArray {
    CoTaskArray<LPWSTR> strings;
    explicit StringArray(size_t n) : strings(n) {}
    ~StringArray() {
        for (size_t i = 0; i < strings.Size(); ++i) CoTaskMemFree(strings[i]);
    }
    LPWSTR* Detach() noexcept { return strings.Detach(); }
};

}  // namespace

STDMETHODIMP OPCServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                 DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                                 VARTYPE** ppvtDataTypes) {
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_POINTER;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    return ComCall([&] {
        Look look;
        const ItemProperties table = PropertiesOf(szItemID, look);
        if (look == Look::kUnanswered) return E_FAIL;
        const std::vector<const ItemProperty*> listed = table.List();
        CoTaskArray<DWORD> ids(listed.size());
        StringArray descriptions(listed.size());
        CoTaskArray<VARTYPE> types(listed.size());
        for (size_t i = 0; i < listed.size(); ++i) {
            ids[i] = listed[i]->id;
            descriptions.strings[i] = CoTaskStrDup(AnsiToWide(listed[i]->description).c_str());
            types[i] = listed[i]->value.Type();
        }
        *pdwCount = static_cast<DWORD>(listed.size());
        *ppPropertyIDs = ids.Detach();
        *ppDescriptions = descriptions.Detach();
        *ppvtDataTypes = types.Detach();
        return S_OK;
    });
}

STDMETHODIMP OPCServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          VARIANT** ppvData, HRESULT** ppErrors) {
    if (!ppvData || !ppErrors) return E_POINTER;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    RETURN_IF_FAILED(CheckPropertyCount(dwCount, pdwPropertyIDs));
    return ComCall([&] {
        Look look;
        const ItemProperties table = PropertiesOf(szItemID, look);
        if (look == Look::kUnanswered) return E_FAIL;
        if (look == Look::kNoTag) return OPC_E_UNKNOWNITEMID;
        CoTaskArray<VARIANT> values(dwCount);  // zero-filled: every entry VT_EMPTY
        CoTaskArray<HRESULT> errors(dwCount);
        DWORD i = 0;
        ReplyBudget budget;
        try {
            for (; i < dwCount; ++i) {
                const ItemProperty* p = table.Find(pdwPropertyIDs[i]);
                errors[i] = p ? p->value.CopyTo(&values[i]) : OPC_E_INVALID_PID;
                if (errors[i] == E_OUTOFMEMORY ||
                    !budget.TrySpend(sizeof(HRESULT) + VariantWireBytes(values[i]))) {
                    ++i;  // its value goes with the others
                    throw std::bad_alloc();
                }
            }
        } catch (...) {
            for (DWORD j = 0; j < i; ++j) VariantClear(&values[j]);
            throw;
        }
        *ppvData = values.Detach();
        *ppErrors = errors.Detach();
        return S_OK;
    });
}

STDMETHODIMP OPCServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                      LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
    if (!ppszNewItemIDs || !ppErrors) return E_POINTER;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    RETURN_IF_FAILED(CheckPropertyCount(dwCount, pdwPropertyIDs));
    return ComCall([&] {
        Look look;
        const ItemProperties table = PropertiesOf(szItemID, look);
        if (look == Look::kUnanswered) return E_FAIL;
        StringArray ids(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        ReplyBudget budget;
        for (DWORD i = 0; i < dwCount; ++i) {
            const ItemProperty* p = table.Find(pdwPropertyIDs[i]);
            // A client uses the identifier to add the property as an item: one that AddItems
            // would refuse (every standard property below 5000, which the item answers itself)
            // is no identifier at all.
            const bool addable = p && !p->itemId.empty();
            errors[i] = addable ? S_OK : OPC_E_INVALID_PID;
            budget.Spend(sizeof(HRESULT) + sizeof(LPWSTR));
            if (!addable) continue;
            budget.SpendString(p->itemId.c_str());
            ids.strings[i] = CoTaskStrDup(p->itemId.c_str());
        }
        *ppszNewItemIDs = ids.Detach();
        *ppErrors = errors.Detach();
        return S_OK;
    });
}
