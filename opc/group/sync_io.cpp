// IOPCSyncIO and IOPCSyncIO2 of the group: reads from the cache or the drivers and writes to the
// drivers on the caller's thread. The item mutex is held to find the items and to fill their
// caches, never while a driver is asked (driver_batches.h).
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
        const HRESULT hr = ReadItems(
            dwCount, phServer, dwSource != OPC_DS_CACHE, nullptr,
            sizeof(OPCITEMSTATE) + sizeof(HRESULT), errors.Get(),
            [&](DWORD i, const OPCItem& item) {
                item.CopyStateTo(states[i]);
                return VariantWireBytes(states[i].vDataValue);
            },
            [&](DWORD i) { VariantClear(&states[i].vDataValue); });
        *ppItemValues = states.Detach();
        *ppErrors = errors.Detach();
        return hr;
    });
}

// Per item as Read: a cache younger than the item's maximum age answers, an older one (or
// none yet) is read from the device first. An item in error gets VT_EMPTY, bad quality and
// no timestamp.
STDMETHODIMP COPCGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge,
                                   VARIANT** ppvValues, WORD** ppwQualities,
                                   FILETIME** ppftTimeStamps, HRESULT** ppErrors) {
    RETURN_IF_FAILED(
        BeginItemCall(dwCount, phServer, ppvValues, ppwQualities, ppftTimeStamps, ppErrors));
    if (!pdwMaxAge) return E_INVALIDARG;
    return ComCall([&] {
        CoTaskArray<VARIANT> values(dwCount);
        CoTaskArray<WORD> qualities(dwCount);
        CoTaskArray<FILETIME> timestamps(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        const HRESULT hr = ReadItems(
            dwCount, phServer, false, pdwMaxAge,
            sizeof(VARIANT) + sizeof(WORD) + sizeof(FILETIME) + sizeof(HRESULT), errors.Get(),
            [&](DWORD i, const OPCItem& item) {
                OPCITEMSTATE state;
                item.CopyStateTo(state);
                values[i] = state.vDataValue;  // the copy's ownership moves
                qualities[i] = state.wQuality;
                timestamps[i] = state.ftTimeStamp;
                return VariantWireBytes(values[i]);
            },
            [&](DWORD i) { VariantClear(&values[i]); });
        *ppvValues = values.Detach();
        *ppwQualities = qualities.Detach();
        *ppftTimeStamps = timestamps.Detach();
        *ppErrors = errors.Detach();
        return hr;
    });
}

template <class Copy, class Discard>
HRESULT COPCGroup::ReadItems(DWORD count, const OPCHANDLE* handles, bool device,
                             const DWORD* maxAges, size_t perItem, HRESULT* errors, Copy&& copy,
                             Discard&& discard) {
    // Per item, when the drivers may be asked: 0 no item, else the serial of the item that
    // is read from the drivers, or kFromCache.
    constexpr uint64_t kFromCache = ~uint64_t{0};
    const bool decide = device || maxAges;
    std::vector<uint64_t> serials(decide ? count : 0, 0);
    std::vector<TagRef> tags(decide ? count : 0);
    std::vector<CDriver::TagReading> readings;
    if (decide) {
        bool anyDevice = false;
        {
            ProcessMutexLock lock(itemMutex_);
            const ULONGLONG now = maxAges ? GetTickCount64() : 0;
            for (DWORD i = 0; i < count; ++i) {
                std::unique_ptr<OPCItem>* item = items_.Find(handles[i]);
                if (!item) continue;
                if (!device && !(*item)->OlderThan(maxAges[i], now)) {
                    serials[i] = kFromCache;
                    continue;
                }
                serials[i] = (*item)->Serial();
                tags[i] = (*item)->Tag();
                anyDevice = true;
            }
        }
        // A device read is one fresh update of every driver, then a fresh read of each
        // item, with no group lock held meanwhile.
        if (anyDevice) readings = ReadTags(tags, true);
    }
    bool anyError = false;
    DWORD copied = 0;
    ReplyBudget budget;
    ProcessMutexLock lock(itemMutex_);
    try {
        for (; copied < count; ++copied) {
            budget.Spend(perItem);
            OPCItem* item = nullptr;
            const bool fromDevice = decide && serials[copied] && serials[copied] != kFromCache;
            if (!decide || serials[copied] == kFromCache) {
                std::unique_ptr<OPCItem>* found = items_.Find(handles[copied]);
                item = found ? found->get() : nullptr;
            } else if (fromDevice) {
                // An item removed while the drivers were asked is gone for this call too.
                item = ItemAt(handles[copied], serials[copied]);
            }
            errors[copied] = item ? S_OK : OPC_E_INVALIDHANDLE;
            anyError |= !item;
            if (!item) continue;
            if (fromDevice) {
                item->TakeReading(tags[copied].driver ? &readings[copied] : nullptr);
                CachesChanged();
            }
            if (!budget.TrySpend(copy(copied, *item))) {
                ++copied;  // its value goes with the others
                throw std::bad_alloc();
            }
        }
    } catch (...) {
        for (DWORD i = 0; i < copied; ++i) discard(i);
        throw;
    }
    return anyError ? S_FALSE : S_OK;
}

// A read-only item refuses the value (OPC_E_BADRIGHTS) and a value that does not convert to
// the tag's type is refused (OPC_E_BADTYPE, OPC_E_RANGE); either way the cache and the tag
// keep what they had, and the call returns S_FALSE. A value the driver did not take (a
// device that refused or did not confirm it, a driver that faulted or did not answer in
// time) gives E_FAIL, and the cache keeps what it had.
STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              HRESULT** ppErrors) {
    if (ppErrors && dwCount && !pItemValues) return E_INVALIDARG;
    return WriteItems(dwCount, phServer, ppErrors,
                      [&](DWORD i) -> const VARIANT* { return &pItemValues[i]; });
}

// The drivers take values only: an item whose quality or timestamp is given is refused
// (OPC_E_NOTSUPPORTED) and nothing is written to it; the others are written as by Write.
STDMETHODIMP COPCGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT,
                                 HRESULT** ppErrors) {
    if (ppErrors && dwCount && !pItemVQT) return E_INVALIDARG;
    return WriteItems(dwCount, phServer, ppErrors, [&](DWORD i) -> const VARIANT* {
        const OPCITEMVQT& vqt = pItemVQT[i];
        return vqt.bQualitySpecified || vqt.bTimeStampSpecified ? nullptr : &vqt.vDataValue;
    });
}

template <class ValueOf>
HRESULT COPCGroup::WriteItems(DWORD count, const OPCHANDLE* handles, HRESULT** ppErrors,
                              ValueOf&& valueOf) {
    RETURN_IF_FAILED(BeginItemCall(count, handles, ppErrors));
    return ComCall([&] {
        CoTaskArray<HRESULT> errors(count);
        std::vector<ItemWrite> writes;
        writes.reserve(count);  // each move of a record would copy its value
        for (DWORD i = 0; i < count; ++i) errors[i] = OPC_E_INVALIDHANDLE;
        {
            ProcessMutexLock lock(itemMutex_);
            for (DWORD i = 0; i < count; ++i) {
                std::unique_ptr<OPCItem>* item = items_.Find(handles[i]);
                if (!item) continue;
                const VARIANT* value = valueOf(i);
                errors[i] = value ? PrepareWrite(**item, *value, i, writes) : OPC_E_NOTSUPPORTED;
            }
        }
        WriteToDrivers(writes);
        bool anyError = false;
        for (const ItemWrite& w : writes) errors[w.position] = w.outcome;
        for (DWORD i = 0; i < count; ++i) anyError |= errors[i] != S_OK;
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
        tags[k] = std::move(writes[k].tag);
        values[k].Swap(writes[k].value);  // back from the driver for the cache
    }
    const std::vector<bool> taken = WriteTags(tags, values, refreshAfter);
    ProcessMutexLock lock(itemMutex_);
    for (size_t k = 0; k < writes.size(); ++k) {
        writes[k].outcome = taken[k] ? S_OK : E_FAIL;
        if (!taken[k]) continue;
        // The tag has the value; so does the item's cache while the item is there.
        if (OPCItem* item = ItemAt(writes[k].handle, writes[k].serial)) {
            item->TakeWrittenValue(values[k]);
            CachesChanged();
        }
    }
}
