#include "random_input.h"

#include <oleauto.h>

std::wstring RandomInput::Text() {
    switch (Below(6)) {
        case 0:
            return L"";
        case 1:
            return L"G" + std::to_wstring(Below(50));
        case 2:
            return L"Группа " + std::to_wstring(Below(20));
        case 3:
            return L"a..b.";
        case 4:
            return std::wstring(100000, L'x');
        default: {
            std::wstring s;
            for (unsigned i = 0, n = Below(40); i < n; ++i)
                s += static_cast<wchar_t>(1 + Below(0xD7FF));
            return s;
        }
    }
}

std::wstring RandomInput::ItemId(const std::vector<std::wstring>& known) {
    if (!known.empty() && Chance(70)) {
        std::wstring id = known[Below(static_cast<unsigned>(known.size()))];
        if (Chance(10)) id += L".";
        return id;
    }
    return Text();
}

BSTR RandomInput::Bstr() {
    std::wstring text = Text();
    if (Chance(30)) text.insert(text.size() / 2, 3, L'\0');
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

VARTYPE RandomInput::Type() {
    static const VARTYPE types[] = {
        VT_EMPTY, VT_NULL,    VT_I1,  VT_UI1,  VT_I2,      VT_UI2,      VT_I4,   VT_UI4,
        VT_I8,    VT_UI8,     VT_R4,  VT_R8,   VT_CY,      VT_DATE,     VT_BSTR, VT_BOOL,
        VT_ERROR, VT_DECIMAL, VT_INT, VT_UINT, VT_UNKNOWN, VT_DISPATCH, 0x7FFF};
    VARTYPE type = types[Below(sizeof(types) / sizeof(types[0]))];
    if (Chance(10)) type |= VT_ARRAY;
    if (Chance(3)) type |= VT_BYREF;
    return type;
}

Variant RandomInput::Value(VARIANT& byrefStore) {
    Variant v;
    VARIANT* out = v.Put();
    switch (Below(12)) {
        case 0:
            break;  // VT_EMPTY
        case 1:
            V_VT(out) = VT_NULL;
            break;
        case 2:
            V_VT(out) = VT_I4;
            V_I4(out) = static_cast<LONG>(Any32());
            break;
        case 3:
            V_VT(out) = VT_R8;
            V_R8(out) = (static_cast<double>(Any32()) - 2e9) * 1e150;
            break;
        case 4:
            V_VT(out) = VT_BSTR;
            V_BSTR(out) = Bstr();
            break;
        case 5:
            V_VT(out) = VT_BOOL;
            V_BOOL(out) = Chance(50) ? VARIANT_TRUE : 0x1234;
            break;
        case 6:
            V_VT(out) = VT_ERROR;
            V_ERROR(out) = static_cast<SCODE>(Any32());
            break;
        case 7:
            V_VT(out) = VT_DATE;
            V_DATE(out) = static_cast<double>(Any32()) - 1e9;
            break;
        case 8:
        case 9: {
            const VARTYPE element = Chance(50) ? VT_R8 : (Chance(50) ? VT_BSTR : VT_VARIANT);
            const ULONG count = Chance(90) ? Below(20) : 5000;
            SAFEARRAY* array = SafeArrayCreateVector(element, 0, count);
            if (!array) break;
            for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
                if (element == VT_R8) {
                    double d = i * 1.5;
                    SafeArrayPutElement(array, &i, &d);
                } else if (element == VT_BSTR) {
                    BSTR b = SysAllocString(i % 2 ? L"" : L"строка");
                    SafeArrayPutElement(array, &i, b);
                    SysFreeString(b);
                } else {
                    VARIANT item;
                    VariantInit(&item);
                    V_VT(&item) = VT_I2;
                    V_I2(&item) = static_cast<SHORT>(i);
                    SafeArrayPutElement(array, &i, &item);
                }
            }
            V_VT(out) = VT_ARRAY | element;
            V_ARRAY(out) = array;
            break;
        }
        case 10:
            VariantClear(&byrefStore);
            V_VT(&byrefStore) = VT_I4;
            V_I4(&byrefStore) = 7;
            V_VT(out) = VT_BYREF | VT_I4;
            V_I4REF(out) = &V_I4(&byrefStore);
            break;
        default:
            V_VT(out) = VT_I8;
            V_I8(out) = static_cast<LONGLONG>(Any32()) << 31;
            break;
    }
    return v;
}

DWORD RandomInput::Handle(const std::vector<DWORD>& known, const std::vector<DWORD>& stale) {
    const unsigned pick = Below(10);
    if (pick < 6 && !known.empty()) return known[Below(static_cast<unsigned>(known.size()))];
    if (pick < 8 && !stale.empty()) return stale[Below(static_cast<unsigned>(stale.size()))];
    if (pick == 8) return 0;
    return Chance(50) ? 0xFFFFFFFF : Any32();
}

GUID RandomInput::Iid(const std::vector<GUID>& known) {
    if (!known.empty() && Chance(80)) return known[Below(static_cast<unsigned>(known.size()))];
    GUID g;
    g.Data1 = Any32();
    g.Data2 = static_cast<WORD>(Any32());
    g.Data3 = static_cast<WORD>(Any32());
    for (BYTE& b : g.Data4) b = static_cast<BYTE>(Any32());
    return g;
}
