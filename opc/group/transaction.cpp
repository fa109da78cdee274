#include "transaction.h"

#include <objbase.h>

#include "opc_group.h"
#include "own_thread.h"

namespace {

std::atomic<long> g_pending{0};

DWORD WINAPI TransactionThread(void* parameter) noexcept {
    std::unique_ptr<CTransaction> transaction(static_cast<CTransaction*>(parameter));
    // The callbacks may call into other processes: this thread joins the multithreaded
    // apartment for its whole life, which also covers the group's end if this thread
    // releases its last reference.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ComPtr<COPCGroup> group = std::move(transaction->group);
    group->RunTransaction(*transaction);
    transaction.reset();  // closes the cancel event: the identifier is no longer valid
    group.Reset();
    if (SUCCEEDED(com)) CoUninitialize();
    --g_pending;
    return 0;
}

}  // namespace

HRESULT StartTransactionWorker(std::unique_ptr<CTransaction>& transaction) noexcept {
    if (++g_pending > kMaxPendingTransactions) {
        --g_pending;
        return E_OUTOFMEMORY;
    }
    HANDLE thread = CreateOwnThread(TransactionThread, transaction.get());
    if (!thread) {
        --g_pending;
        const DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
    }
    transaction.release();
    CloseHandle(thread);
    return S_OK;
}
