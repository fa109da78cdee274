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
// listed transaction. A cancel succeeds only while none of the transaction's effects is done:
// before a write's first value goes to a driver, before a read's or a refresh's values are
// reported; the transaction then ends with OnCancelComplete (DA 1.0: no stream) and nothing
// else. Once too late, the cancel fails and the transaction reports its outcome as usual.
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
    // OPC DA 3.0: each item's maximum age, parallel to `handles` (empty: none); an item whose
    // cache is younger is answered from it.
    std::vector<DWORD> maxAges;
    ComPtr<COPCGroup> group;
    UniqueHandle cancelEvent;
    DWORD transactionId = 0;
    DWORD connection = 0;  // an OPC DA 1.0 client's advise connection
    DWORD kind = kDa2;
    DWORD dataSource = 0;  // OPC_DS_CACHE or OPC_DS_DEVICE for a refresh; device for a read
    AsyncOperation operation = AsyncOperation::kRead;
    // A client's cancel: true when the transaction will end with OnCancelComplete and none of
    // its effects is done.
    bool Cancel() noexcept {
        LONG from = state_.load();
        while (from == kWaiting || from == kReading)
            if (state_.compare_exchange_weak(from, kCancelled)) return true;
        return false;
    }
    // The worker: a read (or a refresh) begins its driver work, which has no effect a cancel
    // would undo; false once cancelled.
    bool BeginReading() noexcept { return Move(kWaiting, kReading); }
    // The worker: from here on the transaction's effects are done (a write's values go to
    // the drivers, a read's values to the client); false once cancelled.
    bool Commit() noexcept {
        const LONG from = state_.load();
        return from != kCancelled && Move(from, kCommitted);
    }
    bool Cancelled() const noexcept { return state_.load() == kCancelled; }

    DWORD CancelId() const noexcept {
        return static_cast<DWORD>(reinterpret_cast<uintptr_t>(cancelEvent.Get()));
    }

  private:
    enum : LONG { kWaiting, kReading, kCommitted, kCancelled };
    bool Move(LONG from, LONG to) noexcept { return state_.compare_exchange_strong(from, to); }
    std::atomic<LONG> state_{kWaiting};
};

// Transactions pending in the process at most: each has a thread until it has reported, and a
// client whose sinks answer slowly could otherwise pile up threads without end. Fewer in a
// 32-bit process, for the same reason as its fewer groups.
constexpr long kMaxPendingTransactions = sizeof(void*) == 8 ? 1000 : 250;

// Starts the worker for `transaction`, which from then on belongs to the worker. On failure
// (E_OUTOFMEMORY when kMaxPendingTransactions are pending, or the error of the thread start)
// the transaction stays with the caller.
HRESULT StartTransactionWorker(std::unique_ptr<CTransaction>& transaction) noexcept;
