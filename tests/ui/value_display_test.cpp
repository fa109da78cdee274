// The items list's data type names and value texts, including the values the platform's
// conversion refuses.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include "value_display.h"
#include "variant.h"

namespace {

TEST(TypeDisplayName, ScalarsArraysAndTheRest) {
    EXPECT_EQ("short int", TypeDisplayName(VT_I2));
    EXPECT_EQ("long int", TypeDisplayName(VT_I4));
    EXPECT_EQ("real", TypeDisplayName(VT_R4));
    EXPECT_EQ("double", TypeDisplayName(VT_R8));
    EXPECT_EQ("date/time", TypeDisplayName(VT_DATE));
    EXPECT_EQ("string", TypeDisplayName(VT_BSTR));
    EXPECT_EQ("bool", TypeDisplayName(VT_BOOL));
    EXPECT_EQ("signed byte", TypeDisplayName(VT_I1));
    EXPECT_EQ("unsigned byte", TypeDisplayName(VT_UI1));
    for (VARTYPE vt : {VT_EMPTY, VT_CY, VT_ERROR, VT_UI2, VT_UI4})
        EXPECT_EQ("unknown", TypeDisplayName(vt)) << vt;
    EXPECT_EQ("array of real", TypeDisplayName(VT_ARRAY | VT_R4));
    EXPECT_EQ("array of short int", TypeDisplayName(VT_ARRAY | VT_I2));
    EXPECT_EQ("array of string", TypeDisplayName(VT_ARRAY | VT_BSTR));
    EXPECT_EQ("array of unknown", TypeDisplayName(VT_ARRAY | VT_UI2));
    // Only the array bit is cleared before the element lookup.
    EXPECT_EQ("array of unknown", TypeDisplayName(VT_ARRAY | VT_BYREF | VT_R8));
    EXPECT_EQ("unknown", TypeDisplayName(VT_BYREF | VT_R8));
}

Variant ArrayOf(VARTYPE element, std::initializer_list<double> values) {
    Variant v;
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, static_cast<ULONG>(values.size()));
    LONG i = 0;
    for (double value : values) {
        Variant item;
        V_VT(item.Put()) = VT_R8;
        V_R8(item.Get()) = value;
        VariantChangeType(item.Get(), item.Get(), 0, element);
        SafeArrayPutElement(
            array, &i,
            element == VT_BSTR ? static_cast<void*>(V_BSTR(item.Get())) : &V_UI1(item.Get()));
        ++i;
    }
    V_VT(v.Put()) = VT_ARRAY | element;
    V_ARRAY(v.Get()) = array;
    return v;
}

TEST(ValueDisplayText, WhatTheConversionGivesAndWhatItRefuses) {
    Variant v;
    EXPECT_EQ(L"", ValueDisplayText(*v.Get())) << "empty";
    V_VT(v.Put()) = VT_BOOL;
    V_BOOL(v.Get()) = VARIANT_TRUE;
    EXPECT_EQ(L"-1", ValueDisplayText(*v.Get()));
    V_VT(v.Put()) = VT_I4;
    V_I4(v.Get()) = -42;
    EXPECT_EQ(L"-42", ValueDisplayText(*v.Get()));
    V_VT(v.Put()) = VT_NULL;
    EXPECT_EQ(L"NULL", ValueDisplayText(*v.Get()));
    V_VT(v.Put()) = VT_ERROR;
    V_ERROR(v.Get()) = E_FAIL;
    EXPECT_EQ(L"error 0x80004005", ValueDisplayText(*v.Get()));
    V_VT(v.Put()) = VT_UNKNOWN;
    V_UNKNOWN(v.Get()) = nullptr;
    EXPECT_EQ(0u, ValueDisplayText(*v.Get()).find(L"<no text: 0x")) << "the failure is shown";

    EXPECT_EQ(L"{1; 2; 3}", ValueDisplayText(*ArrayOf(VT_I4, {1, 2, 3}).Get()));
    EXPECT_EQ(L"{7; 8}", ValueDisplayText(*ArrayOf(VT_BSTR, {7, 8}).Get()));
    EXPECT_EQ(L"{}", ValueDisplayText(*ArrayOf(VT_R8, {}).Get()));
    const std::wstring many =
        ValueDisplayText(*ArrayOf(VT_I2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}).Get());
    EXPECT_EQ(L"{1; 2; 3; 4; 5; 6; 7; 8; ...} (10 values)", many);
    // A DECIMAL does not fit a VARIANT's data field: no element is read into one.
    Variant decimals;
    V_VT(decimals.Put()) = VT_ARRAY | VT_DECIMAL;
    V_ARRAY(decimals.Get()) = SafeArrayCreateVector(VT_DECIMAL, 0, 2);
    EXPECT_EQ(L"{?; ?}", ValueDisplayText(*decimals.Get()));
}

}  // namespace
