#include "item_attributes_enum.h"

#include <algorithm>

#include "co_task_mem.h"
#include "com_call.h"

STDMETHODIMP EnumOPCItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                         ULONG* pceltFetched) {
    RETURN_HR_IF_NULL(E_POINTER, ppItemArray);
    RETURN_HR_IF_NULL(E_POINTER, pceltFetched);
    *ppItemArray = nullptr;
    *pceltFetched = 0;
    return ComCall([&] {
        const std::vector<ItemAttributes>& items = *snapshot_;
        const ULONG n = static_cast<ULONG>(std::min<size_t>(celt, items.size() - position_));
        CoTaskArray<OPCITEMATTRIBUTES> out(celt);
        ULONG done = 0;
        try {
            for (; done < n; ++done) items[position_ + done].CopyTo(out[done]);
        } catch (...) {
            for (ULONG i = 0; i < done; ++i) FreeAttributes(out[i]);
            throw;
        }
        position_ += n;
        *ppItemArray = out.Detach();
        *pceltFetched = n;
        return n < celt ? S_FALSE : S_OK;
    });
}

STDMETHODIMP EnumOPCItemAttributes::Skip(ULONG celt) {
    const size_t remaining = snapshot_->size() - position_;
    if (celt > remaining) {
        position_ = snapshot_->size();
        return S_FALSE;
    }
    position_ += celt;
    return S_OK;
}

STDMETHODIMP EnumOPCItemAttributes::Reset() {
    position_ = 0;
    return S_OK;
}

STDMETHODIMP EnumOPCItemAttributes::Clone(IEnumOPCItemAttributes** ppEnum) {
    RETURN_HR_IF_NULL(E_POINTER, ppEnum);
    *ppEnum = nullptr;
    return ComCall([&] {
        ComPtr<IUnknown> self(Identity());
        *ppEnum = Make(snapshot_, std::move(self), position_).Detach();
        return S_OK;
    });
}
