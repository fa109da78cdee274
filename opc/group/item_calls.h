// The shape shared by the group's per-handle calls (item management, synchronous IO).
#pragma once

#include "co_task_mem.h"
#include "com_call.h"
#include "opc_group.h"

// E_INVALIDARG for an empty call or a missing array, E_OUTOFMEMORY for more handles than
// any group can serve.
inline HRESULT CheckItemCount(DWORD count, const void* array) {
    if (count == 0 || !array) return E_INVALIDARG;
    if (count > COPCGroup::kMaxItemsPerCall) return E_OUTOFMEMORY;
    return S_OK;
}

inline void FreeResult(OPCITEMRESULT& r) noexcept {
    CoTaskMemFree(r.pBlob);
    r = OPCITEMRESULT{};
}

template <class... Outs>
HRESULT COPCGroup::BeginItemCall(DWORD count, const void* array, Outs**... outs) noexcept {
    if (((outs == nullptr) || ...)) return E_POINTER;
    ((*outs = nullptr), ...);
    RETURN_IF_FAILED(CheckItemCount(count, array));
    return Defunct() ? E_FAIL : S_OK;
}

template <class Each>
HRESULT COPCGroup::ForEachItem(DWORD count, const OPCHANDLE* handles, HRESULT** errors,
                               Each&& each) {
    RETURN_IF_FAILED(BeginItemCall(count, handles, errors));
    return ComCall([&] {
        CoTaskArray<HRESULT> result(count);
        bool anyError = false;
        {
            ProcessMutexLock lock(itemMutex_);
            for (DWORD i = 0; i < count; ++i) {
                std::unique_ptr<OPCItem>* item = items_.Find(handles[i]);
                result[i] = item ? each(**item, i) : OPC_E_INVALIDHANDLE;
                anyError |= result[i] != S_OK;
            }
        }
        *errors = result.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}
