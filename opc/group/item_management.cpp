// IOPCItemMgt of the group: items are added, validated, changed and removed under the item
// mutex; every per-handle lookup is one index operation. The drivers are asked what the
// identifiers name before the mutex is taken, one task per driver (driver_batches.h).
#include "opc_group.h"

#include "co_task_mem.h"
#include "driver_list.h"
#include "com_call.h"
#include "item_attributes_enum.h"
#include "item_calls.h"

// An identifier that names no tag creates no item: the client gets OPC_E_INVALIDITEMID and
// no handle, and the call S_FALSE, so that nothing is shown as data that never comes. One
// whose driver did not answer in time gets E_FAIL.
STDMETHODIMP COPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                 OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemCall(dwCount, pItemArray, ppAddResults, ppErrors));
    return ComCall([&] {
        CoTaskArray<OPCITEMRESULT> results(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        bool anyError = false;
        const std::vector<TagLookup> found = LookUpTags(*g_drivers.Snapshot(), pItemArray, dwCount);
        FILETIME created;  // the items of one call are made together
        CoFileTimeNow(&created);
        {
            ProcessMutexLock lock(itemMutex_);
            // The tags' client counts go to the drivers once per tag, before the lock is
            // given up, so that no removal can overtake them.
            ClientCountBatch counts(dwCount);
            for (DWORD i = 0; i < dwCount; ++i) {
                const OPCITEMDEF& def = pItemArray[i];
                OPCHANDLE handle = 0;
                std::unique_ptr<OPCItem> item;
                try {
                    item = NewItemRecord(created);
                    const HRESULT resolved = item->Bind(found[i], &results[i]);
                    if (resolved != S_OK) {
                        FreeResult(results[i]);
                        errors[i] = resolved;
                        anyError = true;
                        RecycleItemRecord(std::move(item), counts);
                        continue;
                    }
                    OPCItem& added = *item;
                    handle = items_.Append(std::move(item));
                    ItemsChanged();
                    added.SetServerHandle(handle);
                    results[i].hServer = handle;
                    added.Apply(def, counts);
                    errors[i] = S_OK;
                } catch (const std::bad_alloc&) {
                    if (handle) items_.Remove(handle, item);
                    if (item) RecycleItemRecord(std::move(item), counts);
                    FreeResult(results[i]);
                    errors[i] = E_OUTOFMEMORY;
                    anyError = true;
                }
            }
        }
        *ppAddResults = results.Detach();
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

STDMETHODIMP COPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                      OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemCall(dwCount, pItemArray, ppValidationResults, ppErrors));
    return ComCall([&] {
        CoTaskArray<OPCITEMRESULT> results(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        bool anyError = false;
        const std::vector<TagLookup> found = LookUpTags(*g_drivers.Snapshot(), pItemArray, dwCount);
        try {
            for (DWORD i = 0; i < dwCount; ++i) {
                OPCItem scratch;  // never counted as a client of its tag
                errors[i] = scratch.Bind(found[i], &results[i]);
                if (errors[i] == S_OK && !bBlobUpdate) {
                    CoTaskMemFree(results[i].pBlob);
                    results[i].pBlob = nullptr;
                    results[i].dwBlobSize = 0;
                }
                anyError |= errors[i] != S_OK;
            }
        } catch (...) {
            for (DWORD i = 0; i < dwCount; ++i) FreeResult(results[i]);
            throw;
        }
        *ppValidationResults = results.Detach();
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

STDMETHODIMP COPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemCall(dwCount, phServer, ppErrors));
    return ComCall([&] {
        CoTaskArray<HRESULT> errors(dwCount);
        bool anyError = false;
        {
            ProcessMutexLock lock(itemMutex_);
            ClientCountBatch counts(dwCount);  // committed before the lock is given up
            for (DWORD i = 0; i < dwCount; ++i) {
                std::unique_ptr<OPCItem> removed;
                errors[i] = items_.Remove(phServer[i], removed) ? S_OK : OPC_E_INVALIDHANDLE;
                if (removed) ItemsChanged();
                if (removed) RecycleItemRecord(std::move(removed), counts);
                anyError |= errors[i] != S_OK;
            }
        }
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

STDMETHODIMP COPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                       HRESULT** ppErrors) {
    return ForEachItem(dwCount, phServer, ppErrors, [&](OPCItem& item, DWORD) {
        // An item made active is sent at the next cycle, changed or not.
        if (bActive && !item.Active()) {
            item.ForgetSent();
            CachesChanged();
        }
        item.SetActive(bActive);
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                         HRESULT** ppErrors) {
    if (ppErrors && dwCount && !phClient) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](OPCItem& item, DWORD i) {
        item.SetClientHandle(phClient[i]);
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                     VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
    if (ppErrors && dwCount && !pRequestedDatatypes) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors, [&](OPCItem& item, DWORD i) {
        // The client hears the value again in the type it now asks for.
        if (item.RequestedType() != pRequestedDatatypes[i]) {
            item.ForgetSent();
            CachesChanged();
        }
        item.SetRequestedType(pRequestedDatatypes[i]);
        return S_OK;
    });
}

STDMETHODIMP COPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    RETURN_HR_IF_NULL(E_POINTER, ppUnk);
    *ppUnk = nullptr;
    if (Defunct()) return E_FAIL;
    return ComCall([&] {
        auto snapshot = std::make_shared<std::vector<ItemAttributes>>();
        {
            ProcessMutexLock lock(itemMutex_);
            snapshot->reserve(items_.Size());
            items_.ForEach([&](OPCHANDLE, std::unique_ptr<OPCItem>& item) {
                snapshot->push_back(item->Attributes());
                return true;
            });
        }
        ComPtr<IUnknown> self(Identity());
        auto e = EnumOPCItemAttributes::Make(std::move(snapshot), std::move(self), 0);
        return e->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    });
}
