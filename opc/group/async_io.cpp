// IOPCAsyncIO2 of the group: each call records a transaction under the item mutex and hands
// it to a worker thread of its own, which does the driver work (without the item mutex) and
// reports through the group's data callbacks.
#include "opc_group.h"

#include <algorithm>
#include <unordered_map>

#include "co_task_mem.h"
#include "com_call.h"
#include "driver_batches.h"
#include "item_calls.h"

STDMETHODIMP COPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                             DWORD* pdwCancelID, HRESULT** ppErrors) {
    return StartTransaction(AsyncOperation::kRead, {CTransaction::kDa2, dwTransactionID, 0},
                            dwCount, phServer, nullptr, OPC_DS_DEVICE, pdwCancelID, ppErrors);
}

STDMETHODIMP COPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                              DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
    return StartTransaction(AsyncOperation::kWrite, {CTransaction::kDa2, dwTransactionID, 0},
                            dwCount, phServer, pItemValues, 0, pdwCancelID, ppErrors);
}

STDMETHODIMP COPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                 DWORD* pdwCancelID) {
    return StartTransaction(AsyncOperation::kRefresh, {CTransaction::kDa2, dwTransactionID, 0}, 0,
                            nullptr, nullptr, dwSource, pdwCancelID, nullptr);
}

// OPC DA 3.0: as Read, Write and Refresh2, with the items' caches answering where they are
// young enough (RefreshMaxAge: one age for every item), and a write refusing values that come
// with a quality or a timestamp.
STDMETHODIMP COPCGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge,
                                   DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
    if (dwCount && phServer && !pdwMaxAge) return E_INVALIDARG;
    return StartTransaction(AsyncOperation::kRead,
                            {CTransaction::kDa2, dwTransactionID, 0, pdwMaxAge, nullptr}, dwCount,
                            phServer, nullptr, OPC_DS_DEVICE, pdwCancelID, ppErrors);
}

STDMETHODIMP COPCGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT,
                                 DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
    return StartTransaction(AsyncOperation::kWrite,
                            {CTransaction::kDa2, dwTransactionID, 0, nullptr, pItemVQT}, dwCount,
                            phServer, nullptr, 0, pdwCancelID, ppErrors);
}

STDMETHODIMP COPCGroup::RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) {
    return StartTransaction(AsyncOperation::kRefresh,
                            {CTransaction::kDa2, dwTransactionID, 0, &dwMaxAge, nullptr}, 0,
                            nullptr, nullptr, OPC_DS_DEVICE, pdwCancelID, nullptr);
}

// OPC DA 1.0: the transaction identifier is the cancel identifier, and the outcome goes to
// the advise connection `dwConnection` as a stream.
STDMETHODIMP COPCGroup::Read(DWORD dwConnection, OPCDATASOURCE, DWORD dwCount, OPCHANDLE* phServer,
                             DWORD* pTransactionID, HRESULT** ppErrors) {
    return StartTransaction(AsyncOperation::kRead, {CTransaction::kDa1, 0, dwConnection}, dwCount,
                            phServer, nullptr, 0, pTransactionID, ppErrors);
}

STDMETHODIMP COPCGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                              VARIANT* pItemValues, DWORD* pTransactionID, HRESULT** ppErrors) {
    return StartTransaction(AsyncOperation::kWrite, {CTransaction::kDa1, 0, dwConnection}, dwCount,
                            phServer, pItemValues, 0, pTransactionID, ppErrors);
}

STDMETHODIMP COPCGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    return StartTransaction(AsyncOperation::kRefresh, {CTransaction::kDa1, 0, dwConnection}, 0,
                            nullptr, nullptr, dwSource, pTransactionID, nullptr);
}

STDMETHODIMP COPCGroup::Cancel(DWORD dwTransactionID) {
    return Cancel2(dwTransactionID);
}

// S_OK only for a transaction that will end with OnCancelComplete (DA 1.0: with no stream)
// and none of whose effects is done; E_FAIL for an unknown identifier and once it is too late.
STDMETHODIMP COPCGroup::Cancel2(DWORD dwCancelID) {
    CriticalSectionLock lock(pendingLock_);
    for (CTransaction* t : pending_)
        if (t->CancelId() == dwCancelID) return t->Cancel() ? S_OK : E_FAIL;
    return E_FAIL;
}

// Data-change callbacks cannot be switched off.
STDMETHODIMP COPCGroup::SetEnable(BOOL) {
    return E_NOTIMPL;
}

STDMETHODIMP COPCGroup::GetEnable(BOOL* pbEnable) {
    RETURN_HR_IF_NULL(E_POINTER, pbEnable);
    return E_NOTIMPL;
}

HRESULT COPCGroup::StartTransaction(AsyncOperation operation, TransactionStart start, DWORD count,
                                    const OPCHANDLE* handles, const VARIANT* values, DWORD source,
                                    DWORD* cancelId, HRESULT** errors) noexcept {
    const bool perItem = operation != AsyncOperation::kRefresh;
    RETURN_HR_IF_NULL(E_POINTER, cancelId);
    *cancelId = 0;
    if (perItem) {
        RETURN_HR_IF_NULL(E_POINTER, errors);
        *errors = nullptr;
        RETURN_IF_FAILED(CheckItemCount(count, handles));
        if (operation == AsyncOperation::kWrite && !values && !start.vqts) return E_INVALIDARG;
    }
    if (Defunct()) return E_FAIL;
    return ComCall([&] {
        CoTaskArray<HRESULT> result(perItem ? count : 0);
        auto t = std::make_unique<CTransaction>();
        t->operation = operation;
        {
            ProcessMutexLock lock(itemMutex_);
            auto take = [&](OPCItem& item) {
                t->handles.push_back(item.ServerHandle());
                t->serials.push_back(item.Serial());
            };
            if (perItem) {
                t->handles.reserve(count);
                t->serials.reserve(count);
                if (values || start.vqts) t->values.reserve(count);
                if (start.maxAges) t->maxAges.reserve(count);
                for (DWORD i = 0; i < count; ++i) {
                    std::unique_ptr<OPCItem>* item = items_.Find(handles[i]);
                    result[i] = item ? S_OK : E_FAIL;
                    if (!item) continue;
                    // The drivers take values only.
                    const OPCITEMVQT* vqt = start.vqts ? &start.vqts[i] : nullptr;
                    if (vqt && (vqt->bQualitySpecified || vqt->bTimeStampSpecified)) {
                        result[i] = OPC_E_NOTSUPPORTED;
                        continue;
                    }
                    take(**item);
                    if (values) t->values.emplace_back(values[i]);
                    if (vqt) t->values.emplace_back(vqt->vDataValue);
                    if (start.maxAges) t->maxAges.push_back(start.maxAges[i]);
                }
            } else {
                t->handles.reserve(items_.Size());
                t->serials.reserve(items_.Size());
                items_.ForEach([&](OPCHANDLE, std::unique_ptr<OPCItem>& item) {
                    take(*item);
                    return true;
                });
                if (start.maxAges) t->maxAges.assign(t->handles.size(), *start.maxAges);
            }
        }
        if (t->handles.empty()) {
            if (perItem) *errors = result.Detach();
            return E_FAIL;
        }
        t->group = ComPtr<COPCGroup>(this);
        t->transactionId = start.transactionId;
        t->connection = start.connection;
        t->kind = start.kind;
        t->dataSource = operation == AsyncOperation::kRefresh ? source
                        : start.kind == CTransaction::kDa2    ? DWORD{OPC_DS_DEVICE}
                                                              : 0;
        t->cancelEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!t->cancelEvent) return HRESULT_FROM_WIN32(GetLastError());
        const DWORD id = t->CancelId();
        CTransaction* pending = t.get();
        {
            CriticalSectionLock lock(pendingLock_);
            pending_.push_back(pending);
        }
        const HRESULT started = StartTransactionWorker(t);
        if (FAILED(started)) {
            // Nothing may stay pending: the client gets the failure, and no callback.
            ForgetTransaction(*pending);
            return started;
        }
        *cancelId = id;
        if (perItem) *errors = result.Detach();
        return S_OK;
    });
}

void COPCGroup::ForgetTransaction(const CTransaction& transaction) noexcept {
    CriticalSectionLock lock(pendingLock_);
    auto it = std::find(pending_.begin(), pending_.end(), &transaction);
    if (it != pending_.end()) pending_.erase(it);
}

std::vector<TagRef> COPCGroup::TagsOf(const CTransaction& t, std::vector<char>& fromDevice) {
    std::vector<TagRef> tags(t.handles.size());
    fromDevice.assign(t.handles.size(), 0);
    ProcessMutexLock lock(itemMutex_);
    const ULONGLONG now = t.maxAges.empty() ? 0 : GetTickCount64();
    for (size_t i = 0; i < tags.size(); ++i) {
        OPCItem* item = ItemAt(t.handles[i], t.serials[i]);
        if (!item || (!t.maxAges.empty() && !item->OlderThan(t.maxAges[i], now))) continue;
        tags[i] = item->Tag();
        fromDevice[i] = 1;
    }
    return tags;
}

bool COPCGroup::DoTransactionWork(CTransaction& t, ItemValueArrays& arrays) {
    const size_t n = t.handles.size();
    if (t.operation == AsyncOperation::kWrite) {
        // From its first value on, a write cannot be undone: too late to cancel it.
        if (!t.Commit()) return false;
        std::vector<HRESULT> outcomes(n, E_FAIL);
        std::vector<ItemWrite> writes;
        writes.reserve(n);
        {
            ProcessMutexLock lock(itemMutex_);
            // The item's own checks refuse a read-only item and a value of the wrong type,
            // leaving its cache and its tag as they were.
            for (size_t i = 0; i < n; ++i)
                if (OPCItem* item = ItemAt(t.handles[i], t.serials[i]))
                    outcomes[i] = PrepareWrite(*item, *t.values[i].Get(), i, writes);
        }
        WriteToDrivers(writes, true);
        for (const ItemWrite& w : writes) outcomes[w.position] = w.outcome;
        ProcessMutexLock lock(itemMutex_);
        if (t.kind == CTransaction::kDa1) {
            // The DA 1.0 write-complete stream lists every item of the group, those not
            // written with S_OK.
            std::unordered_map<uint64_t, HRESULT> bySerial;
            for (size_t i = 0; i < n; ++i) bySerial[t.serials[i]] = outcomes[i];
            items_.ForEach([&](OPCHANDLE, std::unique_ptr<OPCItem>& item) {
                auto written = bySerial.find(item->Serial());
                arrays.AddOutcome(item->ClientHandle(),
                                  written == bySerial.end() ? S_OK : written->second);
                return true;
            });
            return true;
        }
        for (size_t i = 0; i < n; ++i)
            if (OPCItem* item = ItemAt(t.handles[i], t.serials[i]))
                arrays.AddOutcome(item->ClientHandle(), outcomes[i]);
        return true;
    }

    // A read, or a refresh: nothing is done that a cancel would have to undo until the
    // values are reported.
    if (!t.BeginReading()) return false;
    const bool read = t.operation == AsyncOperation::kRead;
    const bool device = read || t.dataSource == OPC_DS_DEVICE;
    std::vector<TagRef> tags;
    std::vector<char> fromDevice;
    std::vector<CDriver::TagReading> readings;
    if (device) {
        tags = TagsOf(t, fromDevice);
        // DA 1.0 reads the tags as they are; the other device reads update every driver first.
        if (std::find(fromDevice.begin(), fromDevice.end(), 1) != fromDevice.end())
            readings = ReadTags(tags, !read || t.kind == CTransaction::kDa2);
    }
    if (t.Cancelled()) return false;
    ProcessMutexLock lock(itemMutex_);
    if (device) {
        for (size_t i = 0; i < n; ++i) {
            if (!fromDevice[i]) continue;
            OPCItem* item = ItemAt(t.handles[i], t.serials[i]);
            if (item && (read || (item->AccessRights() & OPC_READABLE))) {
                item->TakeReading(tags[i].driver ? &readings[i] : nullptr);
                CachesChanged();
            }
        }
    }
    // A DA 1.0 transaction answers with its connection's stream, built after the mutex.
    if (t.kind != CTransaction::kDa1) {
        arrays.Reserve(n);
        for (size_t i = 0; i < n; ++i)
            if (OPCItem* item = ItemAt(t.handles[i], t.serials[i])) arrays.Add(*item);
    }
    return t.Commit();
}

void COPCGroup::RunTransaction(CTransaction& t) noexcept {
    ItemValueArrays arrays;
    bool cancelled = false;
    try {
        cancelled = !DoTransactionWork(t, arrays);
    } catch (...) {
        // The client still hears that its call has ended, unless it has cancelled it.
        cancelled = !t.Commit();
        arrays.Fail(E_OUTOFMEMORY);
    }

    if (t.kind == CTransaction::kDa1) {
        if (!cancelled) ReportStreamToConnection(t, arrays);  // a cancelled one sends nothing
    } else if (cancelled) {
        ReportCancelComplete(t.transactionId);
    } else if (t.operation == AsyncOperation::kRead) {
        ReportReadComplete(t.transactionId, arrays);
    } else if (t.operation == AsyncOperation::kWrite) {
        ReportWriteComplete(t.transactionId, arrays);
    } else {
        ReportDataChange(t.transactionId, arrays);
    }
    ForgetTransaction(t);
}
