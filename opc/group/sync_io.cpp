// IOPCSyncIO of the group: reads from the cache or the drivers and writes to the drivers on
// the caller's thread. The item mutex is held to find the items and to fill their caches,
// never while a driver is asked (driver_batches.h).
#include "opc_group.h"

#include "co_task_mem.h"
#include "com_call.h"
#include "driver_batches.h"
#include "item_calls.h"
#include "reply_budget.h"

STDMETHODIMP COPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                             OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemCall(dwCount, phServer, ppItemValues, ppErrors));
    return ComCall([&] {
        CoTaskArray<OPCITEMSTATE> states(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        const bool device = dwSource != OPC_DS_CACHE;
        std::vector<uint64_t> serials(device ? dwCount : 0, 0);  // 0: no item
        std::vector<TagRef> tags(device ? dwCount : 0);
        std::vector<CDriver::TagReading> readings;
        if (device) {
            {
                ProcessMutexLock lock(itemMutex_);
                for (DWORD i = 0; i < dwCount; ++i) {
                    std::unique_ptr<OPCItem>* item = items_.Find(phServer[i]);
                    if (!item) continue;
                    serials[i] = (*item)->Serial();
                    tags[i] = (*item)->Tag();
                }
            }
            // A device read is one fresh update of every driver, then a fresh read of each
            // item, with no group lock held meanwhile.
            readings = ReadTags(tags, true);
        }
        bool anyError = false;
        DWORD copied = 0;
        ReplyBudget budget;
        ProcessMutexLock lock(itemMutex_);
        try {
            for (; copied < dwCount; ++copied) {
                budget.Spend(sizeof(OPCITEMSTATE) + sizeof(HRESULT));
                OPCItem* item = nullptr;
                if (!device) {
                    std::unique_ptr<OPCItem>* found = items_.Find(phServer[copied]);
                    item = found ? found->get() : nullptr;
                } else if (serials[copied]) {
                    // An item removed while the drivers were asked is gone for this call too.
                    item = ItemAt(phServer[copied], serials[copied]);
                }
                errors[copied] = item ? S_OK : OPC_E_INVALIDHANDLE;
                anyError |= !item;
                if (!item) continue;
                if (device) {
                    item->TakeReading(tags[copied].driver ? &readings[copied] : nullptr);
                    CachesChanged();
                }
                item->CopyStateTo(states[copied]);
                if (!budget.TrySpend(VariantWireBytes(states[copied].vDataValue))) {
                    ++copied;  // its value goes with the others
                    throw std::bad_alloc();
                }
            }
        } catch (...) {
            for (DWORD i = 0; i < copied; ++i) VariantClear(&states[i].vDataValue);
            throw;
        }
        *ppItemValues = states.Detach();
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

// A read-only item refuses the value (OPC_E_BADRIGHTS) and a value that does not convert to
// the tag's type is refused (OPC_E_BADTYPE, OPC_E_RANGE); either way the cache and the tag
// keep what they had, and the call returns S_FALSE. A value the driver did not take (a
// device that refused or did not confirm it, a driver that faulted or did not answer in
// time) gives E_FAIL, and the cache keeps what it had.
STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              HRESULT** ppErrors) {
    if (ppErrors && dwCount && !pItemValues) return E_INVALIDARG;
    RETURN_IF_FAILED(BeginItemCall(dwCount, phServer, ppErrors));
    return ComCall([&] {
        CoTaskArray<HRESULT> errors(dwCount);
        std::vector<ItemWrite> writes;
        for (DWORD i = 0; i < dwCount; ++i) errors[i] = OPC_E_INVALIDHANDLE;
        {
            ProcessMutexLock lock(itemMutex_);
            for (DWORD i = 0; i < dwCount; ++i)
                if (std::unique_ptr<OPCItem>* item = items_.Find(phServer[i]))
                    errors[i] = PrepareWrite(**item, pItemValues[i], i, writes);
        }
        WriteToDrivers(writes);
        bool anyError = false;
        for (const ItemWrite& w : writes) errors[w.position] = w.outcome;
        for (DWORD i = 0; i < dwCount; ++i) anyError |= errors[i] != S_OK;
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

OPCItem* COPCGroup::ItemAt(OPCHANDLE handle, uint64_t serial) noexcept {
    std::unique_ptr<OPCItem>* item = items_.Find(handle);
    return item && (*item)->Serial() == serial ? item->get() : nullptr;
}

HRESULT COPCGroup::PrepareWrite(OPCItem& item, const VARIANT& value, size_t position,
                                std::vector<ItemWrite>& writes) {
    Variant converted;
    const HRESULT hr = item.PrepareWrite(value, converted);
    if (hr != S_OK) return hr;
    writes.push_back(ItemWrite{position, item.ServerHandle(), item.Serial(), item.Tag(),
                               std::move(converted), E_FAIL});
    return S_OK;
}

void COPCGroup::WriteToDrivers(std::vector<ItemWrite>& writes, bool refreshAfter) {
    if (writes.empty()) {
        if (refreshAfter) RefreshEveryDriver();
        return;
    }
    std::vector<TagRef> tags(writes.size());
    std::vector<Variant> values(writes.size());
    for (size_t k = 0; k < writes.size(); ++k) {
        tags[k] = writes[k].tag;
        values[k] = writes[k].value;
    }
    const std::vector<bool> taken = WriteTags(tags, values, refreshAfter);
    ProcessMutexLock lock(itemMutex_);
    for (size_t k = 0; k < writes.size(); ++k) {
        writes[k].outcome = taken[k] ? S_OK : E_FAIL;
        if (!taken[k]) continue;
        // The tag has the value; so does the item's cache while the item is there.
        if (OPCItem* item = ItemAt(writes[k].handle, writes[k].serial)) {
            item->TakeWrittenValue(writes[k].value);
            CachesChanged();
        }
    }
}
