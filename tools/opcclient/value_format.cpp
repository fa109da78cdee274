#include "value_format.h"

#include <cwchar>
#include <cwctype>
#include <vector>

#include "hresult_text.h"
#include "time_format.h"

namespace {

const wchar_t* BaseTypeName(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
            return L"VT_EMPTY";
        case VT_NULL:
            return L"VT_NULL";
        case VT_I2:
            return L"VT_I2";
        case VT_I4:
            return L"VT_I4";
        case VT_R4:
            return L"VT_R4";
        case VT_R8:
            return L"VT_R8";
        case VT_CY:
            return L"VT_CY";
        case VT_DATE:
            return L"VT_DATE";
        case VT_BSTR:
            return L"VT_BSTR";
        case VT_DISPATCH:
            return L"VT_DISPATCH";
        case VT_ERROR:
            return L"VT_ERROR";
        case VT_BOOL:
            return L"VT_BOOL";
        case VT_VARIANT:
            return L"VT_VARIANT";
        case VT_UNKNOWN:
            return L"VT_UNKNOWN";
        case VT_DECIMAL:
            return L"VT_DECIMAL";
        case VT_I1:
            return L"VT_I1";
        case VT_UI1:
            return L"VT_UI1";
        case VT_UI2:
            return L"VT_UI2";
        case VT_UI4:
            return L"VT_UI4";
        case VT_I8:
            return L"VT_I8";
        case VT_UI8:
            return L"VT_UI8";
        case VT_INT:
            return L"VT_INT";
        case VT_UINT:
            return L"VT_UINT";
    }
    return nullptr;
}

bool IsNumeric(VARTYPE type) {
    switch (type) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DECIMAL:
            return true;
    }
    return false;
}

std::wstring InvariantText(const VARIANT& value) {
    Variant text;
    if (FAILED(VariantChangeTypeEx(text.Get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0,
                                   VT_BSTR)))
        return L"?";
    return V_BSTR(text.Get()) ? V_BSTR(text.Get()) : L"";
}

// JSON has no NaN or Infinity, and some conversions produce them as words.
bool LooksLikeJsonNumber(const std::wstring& text) {
    if (text.empty()) return false;
    for (wchar_t c : text)
        if (!iswdigit(c) && c != L'-' && c != L'+' && c != L'.' && c != L'e' && c != L'E')
            return false;
    return iswdigit(text.back()) != 0;
}

// The elements of a one-dimensional array, each as its own VARIANT.
std::vector<Variant> Elements(const VARIANT& value) {
    std::vector<Variant> elements;
    SAFEARRAY* array = V_ISBYREF(&value) ? *V_ARRAYREF(&value) : V_ARRAY(&value);
    if (!array || SafeArrayGetDim(array) != 1) return elements;
    const VARTYPE base = V_VT(&value) & VT_TYPEMASK;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        Variant element;
        if (base == VT_VARIANT) {
            SafeArrayGetElement(array, &i, element.Get());
        } else {
            // Every member of the VARIANT union starts at the same address.
            if (SUCCEEDED(SafeArrayGetElement(array, &i, &V_UI1(element.Get()))))
                V_VT(element.Get()) = base;
        }
        elements.push_back(std::move(element));
    }
    return elements;
}

HRESULT ParseScalar(const std::wstring& text, VARTYPE type, Variant& out) {
    if (type == VT_BOOL) {
        std::wstring lower;
        for (wchar_t c : text) lower += static_cast<wchar_t>(towlower(c));
        const bool isTrue = lower == L"true" || lower == L"1";
        if (!isTrue && lower != L"false" && lower != L"0") return DISP_E_TYPEMISMATCH;
        V_VT(out.Put()) = VT_BOOL;
        V_BOOL(out.Get()) = isTrue ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    Variant source;
    V_VT(source.Get()) = VT_BSTR;
    V_BSTR(source.Get()) = Bstr(text.c_str()).Detach();
    if (type == VT_BSTR || type == VT_EMPTY || type == VT_VARIANT) {
        out = std::move(source);
        return S_OK;
    }
    if (text.empty()) return DISP_E_TYPEMISMATCH;
    return VariantChangeTypeEx(out.Put(), source.Get(), LOCALE_INVARIANT, 0, type);
}

std::wstring Trim(const std::wstring& text) {
    size_t first = 0, last = text.size();
    while (first < last && iswspace(text[first])) ++first;
    while (last > first && iswspace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

HRESULT ParseArray(const std::wstring& text, VARTYPE base, Variant& out) {
    std::wstring body = Trim(text);
    if (body.size() >= 2 && body.front() == L'[' && body.back() == L']')
        body = body.substr(1, body.size() - 2);
    std::vector<Variant> elements;
    if (!Trim(body).empty()) {
        size_t start = 0;
        for (;;) {
            const size_t comma = body.find(L',', start);
            Variant element;
            const std::wstring part =
                Trim(body.substr(start, comma == std::wstring::npos ? comma : comma - start));
            const HRESULT hr =
                ParseScalar(part, base == VT_VARIANT ? VARTYPE{VT_BSTR} : base, element);
            if (FAILED(hr)) return hr;
            elements.push_back(std::move(element));
            if (comma == std::wstring::npos) break;
            start = comma + 1;
        }
    }
    SAFEARRAY* array = SafeArrayCreateVector(base, 0, static_cast<ULONG>(elements.size()));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
        // SafeArrayPutElement copies; BSTRs and VARIANTs go in by value, the rest by address.
        VARIANT* element = elements[static_cast<size_t>(i)].Get();
        void* data = base == VT_VARIANT ? static_cast<void*>(element)
                     : base == VT_BSTR  ? static_cast<void*>(V_BSTR(element))
                                        : static_cast<void*>(&V_UI1(element));
        const HRESULT hr = SafeArrayPutElement(array, &i, data);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    VARIANT* result = out.Put();
    V_VT(result) = static_cast<VARTYPE>(VT_ARRAY | base);
    V_ARRAY(result) = array;
    return S_OK;
}

}  // namespace

std::wstring VarTypeName(VARTYPE type) {
    std::wstring name;
    if (type & VT_ARRAY) name += L"VT_ARRAY | ";
    if (type & VT_BYREF) name += L"VT_BYREF | ";
    const VARTYPE base = type & VT_TYPEMASK;
    if (const wchar_t* known = BaseTypeName(base))
        name += known;
    else
        name += L"VT_" + std::to_wstring(base);
    return name;
}

std::wstring FormatValue(const VARIANT& value, bool quoteStrings) {
    const VARTYPE type = V_VT(&value);
    if (type & VT_ARRAY) {
        std::wstring text = L"[";
        for (const Variant& element : Elements(value)) {
            if (text.size() > 1) text += L", ";
            text += FormatValue(*element.Get(), quoteStrings);
        }
        return text + L"]";
    }
    switch (type) {
        case VT_EMPTY:
            return L"";
        case VT_NULL:
            return L"null";
        case VT_BOOL:
            return V_BOOL(&value) ? L"true" : L"false";
        case VT_DATE:
            return FormatDate(V_DATE(&value));
        case VT_BSTR: {
            const std::wstring text = V_BSTR(&value) ? V_BSTR(&value) : L"";
            return quoteStrings ? L"\"" + text + L"\"" : text;
        }
        case VT_ERROR:
            return HexCode(V_ERROR(&value));
        case VT_VARIANT | VT_BYREF:
            return V_VARIANTREF(&value) ? FormatValue(*V_VARIANTREF(&value), quoteStrings) : L"";
    }
    return InvariantText(value);
}

void WriteJsonValue(JsonWriter& json, const VARIANT& value) {
    const VARTYPE type = V_VT(&value);
    if (type & VT_ARRAY) {
        json.BeginArray();
        for (const Variant& element : Elements(value)) WriteJsonValue(json, *element.Get());
        json.EndArray();
        return;
    }
    if (type == VT_EMPTY || type == VT_NULL) return json.Null();
    if (type == VT_BOOL) return json.Bool(V_BOOL(&value) != VARIANT_FALSE);
    if (type == VT_BSTR) return json.String(V_BSTR(&value) ? V_BSTR(&value) : L"");
    if (IsNumeric(type)) {
        const std::wstring text = InvariantText(value);
        if (LooksLikeJsonNumber(text)) return json.RawNumber(text);
        return json.Null();
    }
    json.String(FormatValue(value, false));
}

HRESULT ParseValue(const std::wstring& text, VARTYPE type, Variant& out) {
    out.Clear();
    const HRESULT hr = (type & VT_ARRAY) ? ParseArray(text, type & VT_TYPEMASK, out)
                                         : ParseScalar(text, type, out);
    if (FAILED(hr)) out.Clear();
    return hr;
}
