// What one answer weighs: the strings and arrays inside values count, values that refer to
// themselves do not loop, and the budget refuses what does not fit without taking it.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>
#include <string>

#include "reply_budget.h"
#include "variant.h"

namespace {

Variant Text(size_t characters) {
    Variant v;
    VARIANT* out = v.Put();
    const std::wstring text(characters, L'x');
    V_BSTR(out) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    V_VT(out) = VT_BSTR;
    return v;
}

}  // namespace

TEST(ReplyWeight, StringsAndArraysCountWhatTheyCarry) {
    Variant number;
    V_VT(number.Put()) = VT_R8;
    const size_t fixed = VariantWireBytes(*number.Get());
    EXPECT_GE(fixed, 16u);
    EXPECT_EQ(fixed + 200000, VariantWireBytes(*Text(100000).Get()));

    Variant doubles;
    V_ARRAY(doubles.Get()) = SafeArrayCreateVector(VT_R8, 0, 1000);
    V_VT(doubles.Get()) = VT_ARRAY | VT_R8;
    EXPECT_EQ(fixed + 8000, VariantWireBytes(*doubles.Get()));

    // An array of strings: the pointers and every string's characters.
    Variant strings;
    V_ARRAY(strings.Get()) = SafeArrayCreateVector(VT_BSTR, 0, 3);
    V_VT(strings.Get()) = VT_ARRAY | VT_BSTR;
    for (LONG i = 0; i < 3; ++i) {
        BSTR s = SysAllocString(L"abcd");
        SafeArrayPutElement(V_ARRAY(strings.Get()), &i, s);
        SysFreeString(s);
    }
    EXPECT_EQ(fixed + 3 * sizeof(BSTR) + 3 * 8, VariantWireBytes(*strings.Get()));

    // An array of values holding a long string.
    Variant values;
    V_ARRAY(values.Get()) = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    V_VT(values.Get()) = VT_ARRAY | VT_VARIANT;
    LONG at = 1;
    Variant text = Text(5000);
    SafeArrayPutElement(V_ARRAY(values.Get()), &at, text.Get());
    EXPECT_EQ(fixed + 2 * sizeof(VARIANT) + 2 * fixed + 10000, VariantWireBytes(*values.Get()));
}

TEST(ReplyWeight, ValuesThatReferToThemselvesCountAsTooMuch) {
    VARIANT a, b;
    V_VT(&a) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&a) = &b;
    V_VT(&b) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&b) = &a;
    EXPECT_EQ(SIZE_MAX, VariantWireBytes(a));

    VARIANT nothing;
    V_VT(&nothing) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&nothing) = nullptr;
    EXPECT_LT(VariantWireBytes(nothing), 100u);
}

TEST(ReplyBudget, RefusesWhatDoesNotFitAndKeepsTheRest) {
    ReplyBudget budget(1000);
    EXPECT_TRUE(budget.TrySpend(600));
    EXPECT_FALSE(budget.TrySpend(500));
    EXPECT_TRUE(budget.TrySpend(400)) << "a refused amount takes nothing";
    EXPECT_FALSE(budget.TrySpend(1));
    EXPECT_THROW(budget.Spend(1), std::bad_alloc);

    ReplyBudget whole;
    EXPECT_FALSE(whole.TrySpend(SIZE_MAX));
    EXPECT_TRUE(whole.TrySpend(kMaxReplyBytes));
    ReplyBudget small(100);
    EXPECT_THROW(small.SpendValue(*Text(50).Get()), std::bad_alloc);
}
