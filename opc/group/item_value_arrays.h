// The arrays of one data callback (OnDataChange, OnReadComplete, OnWriteComplete): one entry
// per item, in the order added, and the master results. The values are owned here; a cycle
// keeps its sets and reuses their memory from one callback to the next. What the arrays and
// their values weigh stays within a budget (see reply_budget.h).
#pragma once

#include <windows.h>
#include <vector>

#include "opc.h"
#include "reply_budget.h"

class OPCItem;

class ItemValueArrays {
  public:
    explicit ItemValueArrays(size_t budget = kMaxReplyBytes) noexcept : budget_(budget) {}
    ~ItemValueArrays() { Clear(); }
    ItemValueArrays(const ItemValueArrays&) = delete;
    ItemValueArrays& operator=(const ItemValueArrays&) = delete;

    // Frees the values and empties the arrays; their memory is kept for the next use.
    void Clear() noexcept;
    void Reserve(size_t count);  // throws std::bad_alloc

    // The item as it stands: client handle, value in the requested type, quality, timestamp,
    // error S_OK. False, and nothing added, when it would take the arrays past their budget.
    // Throws std::bad_alloc (the arrays then hold what they held).
    bool TryAdd(const OPCItem& item);
    // As TryAdd, but past the budget throws std::bad_alloc: the whole answer fails.
    void Add(const OPCItem& item) {
        if (!TryAdd(item)) throw std::bad_alloc();
    }
    // The item whose value alone is more than a budget: no value, bad quality, E_OUTOFMEMORY.
    void AddTooLarge(const OPCItem& item);
    // A client handle and an error only (a write's outcome).
    void AddOutcome(OPCHANDLE client, HRESULT error);

    DWORD Count() const noexcept { return static_cast<DWORD>(clients_.size()); }
    // S_FALSE when any quality is not OPC_QUALITY_GOOD / any error is not S_OK.
    HRESULT MasterQuality() const noexcept;
    HRESULT MasterError() const noexcept;
    // The arrays could not be built (out of memory): they are emptied, and the master error
    // tells why, so that a callback still ends the client's wait.
    void Fail(HRESULT error) noexcept {
        Clear();
        failure_ = error;
    }

    // For the callback; the arrays stay owned here (the sink's parameters are [in]). An empty
    // array is still a pointer to something: the proxy refuses a null array whatever the
    // count, and a callback without items (a keep-alive) is a call like any other.
    OPCHANDLE* Clients() noexcept { return NonNull(clients_); }
    VARIANT* Values() noexcept { return NonNull(values_); }
    WORD* Qualities() noexcept { return NonNull(qualities_); }
    FILETIME* Timestamps() noexcept { return NonNull(timestamps_); }
    HRESULT* Errors() noexcept { return NonNull(errors_); }

  private:
    template <class T>
    static T* NonNull(std::vector<T>& array) noexcept {
        static T none{};  // never read: the count is 0
        return array.empty() ? &none : array.data();
    }

    void MakeRoomForOne();  // throws std::bad_alloc

    std::vector<OPCHANDLE> clients_;
    std::vector<VARIANT> values_;
    std::vector<WORD> qualities_;
    std::vector<FILETIME> timestamps_;
    std::vector<HRESULT> errors_;
    HRESULT failure_ = S_OK;
    size_t budget_;
    size_t bytes_ = 0;
};
