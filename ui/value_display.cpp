#include "value_display.h"

#include <oleauto.h>
#include <cstdio>

#include "variant.h"

namespace {

const char* ElementPhrase(VARTYPE element) {
    switch (element) {
        case VT_I2:
            return "of short int";
        case VT_I4:
            return "of long int";
        case VT_R4:
            return "of real";
        case VT_R8:
            return "of double";
        case VT_DATE:
            return "of date/time";
        case VT_BSTR:
            return "of string";
        case VT_BOOL:
            return "of bool";
        case VT_I1:
            return "of signed byte";
        case VT_UI1:
            return "of unsigned byte";
        default:
            return "of unknown";
    }
}

std::wstring Hex(HRESULT code) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// The platform's conversion to a string; false (with its code) when it refuses.
bool ConvertToText(const VARIANT& value, std::wstring& text, HRESULT& failure) {
    Variant copy;
    failure = VariantChangeTypeEx(copy.Put(), const_cast<VARIANT*>(&value), 0, 0, VT_BSTR);
    if (FAILED(failure)) return false;
    const BSTR bstr = V_BSTR(copy.Get());
    text.assign(bstr ? bstr : L"", bstr ? SysStringLen(bstr) : 0);
    return true;
}

// Element types whose value SafeArrayGetElement can write into a VARIANT's data field.
bool FitsAVariant(VARTYPE element) {
    switch (element) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_BOOL:
        case VT_ERROR:
            return true;
        default:
            return false;
    }
}

// At most this many elements are spelled out; the count tells the rest.
constexpr LONG kShownElements = 8;

std::wstring ArrayText(const VARIANT& value) {
    SAFEARRAY* array = (V_VT(&value) & VT_BYREF)
                           ? (V_ARRAYREF(&value) ? *V_ARRAYREF(&value) : nullptr)
                           : V_ARRAY(&value);
    if (!array) return L"{}";
    const UINT dims = SafeArrayGetDim(array);
    LONG lower = 0, upper = -1;
    if (dims != 1 || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper))) {
        ULONGLONG count = dims ? 1 : 0;
        for (UINT d = 1; d <= dims; ++d) {
            LONG lo = 0, hi = -1;
            SafeArrayGetLBound(array, d, &lo);
            SafeArrayGetUBound(array, d, &hi);
            count *= static_cast<ULONGLONG>(hi >= lo ? hi - lo + 1 : 0);
        }
        return L"{" + std::to_wstring(dims) + L"-dimensional, " + std::to_wstring(count) +
               L" values}";
    }
    const VARTYPE element = V_VT(&value) & VT_TYPEMASK;
    const LONG count = upper >= lower ? upper - lower + 1 : 0;
    std::wstring text = L"{";
    for (LONG i = 0; i < count && i < kShownElements; ++i) {
        if (i) text += L"; ";
        Variant item;
        LONG index = lower + i;
        HRESULT hr;
        if (element == VT_VARIANT) {
            hr = SafeArrayGetElement(array, &index, item.Put());
        } else if (FitsAVariant(element)) {
            VARIANT* slot = item.Put();
            hr = SafeArrayGetElement(array, &index, &V_UI1(slot));
            if (SUCCEEDED(hr)) V_VT(slot) = element;
        } else {
            hr = DISP_E_BADVARTYPE;
        }
        text += SUCCEEDED(hr) ? ValueDisplayText(*item.Get()) : L"?";
    }
    if (count > kShownElements) text += L"; ...";
    text += L"}";
    if (count > kShownElements) text += L" (" + std::to_wstring(count) + L" values)";
    return text;
}

}  // namespace

std::string TypeDisplayName(VARTYPE vt) {
    switch (vt) {
        case VT_I2:
            return "short int";
        case VT_I4:
            return "long int";
        case VT_R4:
            return "real";
        case VT_R8:
            return "double";
        case VT_DATE:
            return "date/time";
        case VT_BSTR:
            return "string";
        case VT_BOOL:
            return "bool";
        case VT_I1:
            return "signed byte";
        case VT_UI1:
            return "unsigned byte";
        default:
            break;
    }
    if (vt & VT_ARRAY) return std::string("array ") + ElementPhrase(vt & ~VT_ARRAY);
    return "unknown";
}

std::wstring ValueDisplayText(const VARIANT& value) {
    const VARTYPE vt = V_VT(&value);
    if (vt & VT_ARRAY) return ArrayText(value);
    if (vt == VT_ERROR) return L"error " + Hex(V_ERROR(&value));
    if (vt == VT_NULL) return L"NULL";
    std::wstring text;
    HRESULT failure = S_OK;
    if (ConvertToText(value, text, failure)) return text;
    return L"<no text: " + Hex(failure) + L">";
}
