#include "item_value_arrays.h"

#include <algorithm>

#include "opc_item.h"

void ItemValueArrays::Clear() noexcept {
    for (VARIANT& v : values_) VariantClear(&v);
    clients_.clear();
    values_.clear();
    qualities_.clear();
    timestamps_.clear();
    errors_.clear();
    failure_ = S_OK;
    bytes_ = 0;
}

void ItemValueArrays::Reserve(size_t count) {
    clients_.reserve(count);
    values_.reserve(count);
    qualities_.reserve(count);
    timestamps_.reserve(count);
    errors_.reserve(count);
}

namespace {

// An entry's handle, quality, timestamp and error beside its value.
constexpr size_t kEntryBytes =
    sizeof(OPCHANDLE) + sizeof(WORD) + sizeof(FILETIME) + sizeof(HRESULT);

}  // namespace

void ItemValueArrays::MakeRoomForOne() {
    const size_t needed = clients_.size() + 1;
    if (std::min({clients_.capacity(), values_.capacity(), qualities_.capacity(),
                  timestamps_.capacity(), errors_.capacity()}) < needed)
        Reserve(std::max(needed, clients_.size() * 2));
}

bool ItemValueArrays::TryAdd(const OPCItem& item) {
    MakeRoomForOne();
    // With room in every array, nothing below throws.
    values_.emplace_back();
    item.CopyValueTo(values_.back());
    const size_t weight = kEntryBytes + VariantWireBytes(values_.back());
    if (weight > budget_ || bytes_ > budget_ - weight) {
        VariantClear(&values_.back());
        values_.pop_back();
        return false;
    }
    bytes_ += weight;
    clients_.push_back(item.ClientHandle());
    qualities_.push_back(item.Quality());
    timestamps_.push_back(item.Timestamp());
    errors_.push_back(S_OK);
    return true;
}

void ItemValueArrays::AddTooLarge(const OPCItem& item) {
    MakeRoomForOne();
    bytes_ += kEntryBytes + VariantWireBytes(VARIANT{});
    clients_.push_back(item.ClientHandle());
    values_.emplace_back();
    VariantInit(&values_.back());
    qualities_.push_back(OPC_QUALITY_BAD);
    timestamps_.push_back(item.Timestamp());
    errors_.push_back(E_OUTOFMEMORY);
}

void ItemValueArrays::AddOutcome(OPCHANDLE client, HRESULT error) {
    clients_.reserve(clients_.size() + 1);
    errors_.reserve(errors_.size() + 1);
    clients_.push_back(client);
    errors_.push_back(error);
}

HRESULT ItemValueArrays::MasterQuality() const noexcept {
    return std::all_of(qualities_.begin(), qualities_.end(),
                       [](WORD q) { return q == OPC_QUALITY_GOOD; })
               ? S_OK
               : S_FALSE;
}

HRESULT ItemValueArrays::MasterError() const noexcept {
    if (FAILED(failure_)) return failure_;
    return std::all_of(errors_.begin(), errors_.end(), [](HRESULT e) { return e == S_OK; })
               ? S_OK
               : S_FALSE;
}
