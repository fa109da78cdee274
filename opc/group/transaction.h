// CTransaction: one asynchronous operation of a group (a read, a write or a refresh), made by
// the calling thread and run by a worker thread of its own, which reports the outcome to the
// group's sinks and then frees the record.
//
// A pending transaction holds a reference to its group: a group released or removed by its
// clients lives on until its last transaction has reported (to whatever sinks it still has)
// and ended, so no worker ever touches a freed group and no release waits for a worker.
//
// The cancel identifier given to the client is the value of the cancel event's handle; it is
// valid while the transaction is pending (listed by its group), and the group cancels only a
// listed transaction.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "com_ptr.h"
#include "opc.h"
#include "variant.h"
#include "win_handle.h"

class COPCGroup;

enum class AsyncOperation { kRead, kWrite, kRefresh };

struct CTransaction {
    static constexpr DWORD kDa1 = 1, kDa2 = 2;

    CTransaction() = default;
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;

    // The server handles in the client's order, unknown ones left out (for a refresh every
    // item of the group), with the serial of the record each named: an item removed and a
    // new one made in its entry meanwhile is not mistaken for it.
    std::vector<OPCHANDLE> handles;
    std::vector<uint64_t> serials;
    std::vector<Variant> values;  // a write's values, parallel to `handles`
    ComPtr<COPCGroup> group;
    UniqueHandle cancelEvent;
    DWORD transactionId = 0;
    DWORD connection = 0;  // an OPC DA 1.0 client's advise connection
    DWORD kind = kDa2;
    DWORD dataSource = 0;  // OPC_DS_CACHE or OPC_DS_DEVICE for a refresh; device for a read
    AsyncOperation operation = AsyncOperation::kRead;
    // Set by a cancel; the worker looks at it between items (a plain read, where waiting on
    // the event would cost a system call per item).
    std::atomic<bool> cancelRequested{false};

    DWORD CancelId() const noexcept {
        return static_cast<DWORD>(reinterpret_cast<uintptr_t>(cancelEvent.Get()));
    }
};

// Transactions pending in the process at most: each has a thread until it has reported, and a
// client whose sinks answer slowly could otherwise pile up threads without end.
constexpr long kMaxPendingTransactions = 1000;

// Starts the worker for `transaction`, which from then on belongs to the worker. On failure
// (E_OUTOFMEMORY when kMaxPendingTransactions are pending, or the error of the thread start)
// the transaction stays with the caller.
HRESULT StartTransactionWorker(std::unique_ptr<CTransaction>& transaction) noexcept;
