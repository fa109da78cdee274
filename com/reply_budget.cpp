#include "reply_budget.h"

namespace {

constexpr size_t kFixed = 24;  // a VARIANT's own size in the larger build

size_t Saturated(size_t a, size_t b) noexcept {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

size_t ValueBytes(const VARIANT& v, int depth) noexcept;

size_t ArrayBytes(SAFEARRAY* array, VARTYPE element, int depth) noexcept {
    if (!array) return 0;
    size_t count = 1;
    for (USHORT d = 0; d < array->cDims; ++d) {
        const size_t n = array->rgsabound[d].cElements;
        if (n && count > SIZE_MAX / n) return SIZE_MAX;
        count *= n;
    }
    size_t bytes =
        count && array->cbElements > SIZE_MAX / count ? SIZE_MAX : count * array->cbElements;
    if (!array->pvData || (element != VT_BSTR && element != VT_VARIANT)) return bytes;
    // Strings and values in the elements weigh what they carry.
    for (size_t i = 0; i < count && bytes != SIZE_MAX; ++i) {
        if (element == VT_BSTR)
            bytes = Saturated(bytes, SysStringByteLen(static_cast<BSTR*>(array->pvData)[i]));
        else
            bytes =
                Saturated(bytes, ValueBytes(static_cast<VARIANT*>(array->pvData)[i], depth + 1));
    }
    return bytes;
}

// Values that refer to values (by reference, or arrays of VARIANT) may go round in a circle;
// past a depth no real value has, the rest counts as too much.
size_t ValueBytes(const VARIANT& v, int depth) noexcept {
    if (depth > 16) return SIZE_MAX;
    const VARTYPE type = V_VT(&v);
    if (type & VT_ARRAY) {
        SAFEARRAY* array =
            (type & VT_BYREF) ? (V_ARRAYREF(&v) ? *V_ARRAYREF(&v) : nullptr) : V_ARRAY(&v);
        return Saturated(kFixed, ArrayBytes(array, type & VT_TYPEMASK, depth));
    }
    if (type == VT_BSTR) return Saturated(kFixed, SysStringByteLen(V_BSTR(&v)));
    if (type == (VT_BYREF | VT_BSTR) && V_BSTRREF(&v))
        return Saturated(kFixed, SysStringByteLen(*V_BSTRREF(&v)));
    if (type == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v))
        return Saturated(kFixed, ValueBytes(*V_VARIANTREF(&v), depth + 1));
    return kFixed;
}

}  // namespace

size_t VariantWireBytes(const VARIANT& v) noexcept {
    return ValueBytes(v, 0);
}
