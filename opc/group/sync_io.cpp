// IOPCSyncIO of the group: reads from the cache or the drivers and writes to the drivers on
// the caller's thread, under the item mutex.
#include "opc_group.h"

#include "co_task_mem.h"
#include "com_call.h"
#include "driver_list.h"
#include "item_calls.h"
#include "reply_budget.h"

STDMETHODIMP COPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                             OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemCall(dwCount, phServer, ppItemValues, ppErrors));
    return ComCall([&] {
        CoTaskArray<OPCITEMSTATE> states(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        std::vector<OPCItem*> items(dwCount);
        bool anyError = false;
        const LONG bias = TimeBias();
        ProcessMutexLock lock(itemMutex_);
        for (DWORD i = 0; i < dwCount; ++i) {
            std::unique_ptr<OPCItem>* item = items_.Find(phServer[i]);
            items[i] = item ? item->get() : nullptr;
            errors[i] = item ? S_OK : OPC_E_INVALIDHANDLE;
            anyError |= !item;
        }
        if (dwSource != OPC_DS_CACHE) {
            // A device read is a scan of every driver, then a fresh read of each item.
            DriverSnapshot drivers = g_drivers.Snapshot();
            for (const auto& driver : drivers->drivers) driver->Update(0);
            for (OPCItem* item : items)
                if (item) item->ReadFromDriver(bias);
        }
        DWORD copied = 0;
        ReplyBudget budget;
        try {
            for (; copied < dwCount; ++copied) {
                budget.Spend(sizeof(OPCITEMSTATE) + sizeof(HRESULT));
                if (!items[copied]) continue;
                items[copied]->CopyStateTo(states[copied]);
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
// keep what they had, and the call returns S_FALSE.
STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              HRESULT** ppErrors) {
    if (ppErrors && dwCount && !pItemValues) return E_INVALIDARG;
    return ForEachItem(dwCount, phServer, ppErrors,
                       [&](OPCItem& item, DWORD i) { return item.Write(pItemValues[i]); });
}
