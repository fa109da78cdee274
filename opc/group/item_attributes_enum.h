// EnumOPCItemAttributes: a snapshot of a group's items taken by CreateEnumerator. Next hands
// out a CoTaskMemAlloc array of celt records, zero-filled beyond what was left, also when
// nothing was left. Clones share the snapshot and keep the enumerator they came from alive.
#pragma once

#include <memory>
#include <vector>

#include "com_object.h"
#include "opc.h"
#include "opc_item.h"

class EnumOPCItemAttributes final
    : public ComObject<EnumOPCItemAttributes, IEnumOPCItemAttributes> {
  public:
    using Snapshot = std::shared_ptr<const std::vector<ItemAttributes>>;

    EnumOPCItemAttributes(Snapshot snapshot, ComPtr<IUnknown> source, size_t position) noexcept
        : snapshot_(std::move(snapshot)), source_(std::move(source)), position_(position) {}

    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnum) override;

  private:
    Snapshot snapshot_;
    ComPtr<IUnknown> source_;
    size_t position_;
};
