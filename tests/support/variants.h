// Building and comparing VARIANTs in tests.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "variant.h"

inline Variant MakeBstr(const wchar_t* text) {
    Variant v;
    V_VT(v.Get()) = VT_BSTR;
    V_BSTR(v.Get()) = Bstr(text).Detach();
    return v;
}

inline Variant MakeI4(LONG n) {
    Variant v;
    V_VT(v.Get()) = VT_I4;
    V_I4(v.Get()) = n;
    return v;
}

inline Variant MakeR8(double d) {
    Variant v;
    V_VT(v.Get()) = VT_R8;
    V_R8(v.Get()) = d;
    return v;
}

inline Variant MakeDoubleArray(std::initializer_list<double> values) {
    Variant v;
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(values.size()));
    if (!array) throw std::bad_alloc();
    double* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (double d : values) *data++ = d;
    SafeArrayUnaccessData(array);
    V_VT(v.Get()) = VT_ARRAY | VT_R8;
    V_ARRAY(v.Get()) = array;
    return v;
}

inline std::vector<double> DoubleArrayOf(const VARIANT& v) {
    std::vector<double> out;
    if (V_VT(&v) != (VT_ARRAY | VT_R8) || !V_ARRAY(&v)) return out;
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
    for (LONG i = lo; i <= hi; ++i) {
        double d = 0;
        SafeArrayGetElement(V_ARRAY(&v), &i, &d);
        out.push_back(d);
    }
    return out;
}

inline std::wstring BstrOf(const VARIANT& v) {
    if (V_VT(&v) != VT_BSTR || !V_BSTR(&v)) return L"<not a BSTR>";
    return std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
}
