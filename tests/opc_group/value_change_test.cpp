// What counts as a change for reporting by exception: a missed change loses a value for the
// client, a false one sends every cycle again what the client already has.
#include <windows.h>
#include <gtest/gtest.h>
#include <cmath>
#include <limits>

#include "value_change.h"
#include "variant.h"

namespace {

Variant R8(double v) {
    Variant x;
    V_VT(x.Put()) = VT_R8;
    V_R8(x.Get()) = v;
    return x;
}

Variant Text(const wchar_t* s) {
    Variant x;
    V_VT(x.Put()) = VT_BSTR;
    V_BSTR(x.Get()) = SysAllocString(s);
    return x;
}

Variant I4Array(std::initializer_list<LONG> values) {
    Variant x;
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(values.size()));
    LONG i = 0;
    for (LONG v : values) {
        SafeArrayPutElement(a, &i, &v);
        ++i;
    }
    V_VT(x.Put()) = VT_ARRAY | VT_I4;
    V_ARRAY(x.Get()) = a;
    return x;
}

TEST(ValueChange, SameValueComparesContentsNotIdentity) {
    EXPECT_TRUE(SameValue(*Text(L"abc").Get(), *Text(L"abc").Get()));
    EXPECT_FALSE(SameValue(*Text(L"abc").Get(), *Text(L"abd").Get()));
    EXPECT_FALSE(SameValue(*Text(L"ab").Get(), *Text(L"abc").Get()));
    EXPECT_TRUE(SameValue(*I4Array({1, 2, 3}).Get(), *I4Array({1, 2, 3}).Get()));
    EXPECT_FALSE(SameValue(*I4Array({1, 2, 3}).Get(), *I4Array({1, 2, 4}).Get()));
    EXPECT_FALSE(SameValue(*I4Array({1, 2}).Get(), *I4Array({1, 2, 3}).Get()));
    // The same number in another type is another value for the client.
    Variant four;
    V_VT(four.Put()) = VT_I4;
    V_I4(four.Get()) = 4;
    EXPECT_FALSE(SameValue(*four.Get(), *R8(4).Get()));
    // A value that stays NaN is not a change every cycle.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(SameValue(*R8(nan).Get(), *R8(nan).Get()));
    EXPECT_FALSE(SameValue(*R8(nan).Get(), *R8(0).Get()));
    Variant empty;
    EXPECT_TRUE(SameValue(*empty.Get(), *Variant().Get()));
}

TEST(ValueChange, TheDeadbandIsAShareOfTheSpanAndOnlyMovementsBeyondItCount) {
    // 10 % of 100..300 is 20.
    EXPECT_FALSE(MovedBeyondDeadband(*R8(150).Get(), *R8(170).Get(), 10.0f, 100, 300));
    EXPECT_TRUE(MovedBeyondDeadband(*R8(150).Get(), *R8(170.01).Get(), 10.0f, 100, 300));
    EXPECT_TRUE(MovedBeyondDeadband(*R8(150).Get(), *R8(129.99).Get(), 10.0f, 100, 300));
    // 0 % means any change at all, and no change is still none.
    EXPECT_TRUE(MovedBeyondDeadband(*R8(150).Get(), *R8(150.0001).Get(), 0.0f, 100, 300));
    EXPECT_FALSE(MovedBeyondDeadband(*R8(150).Get(), *R8(150).Get(), 0.0f, 100, 300));
    // Into and out of NaN always counts.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(MovedBeyondDeadband(*R8(150).Get(), *R8(nan).Get(), 50.0f, 100, 300));
    EXPECT_TRUE(MovedBeyondDeadband(*R8(nan).Get(), *R8(150).Get(), 50.0f, 100, 300));
    // A value asked for as text is not a number: every change is sent.
    EXPECT_TRUE(MovedBeyondDeadband(*Text(L"150").Get(), *Text(L"151").Get(), 50.0f, 100, 300));
    EXPECT_FALSE(MovedBeyondDeadband(*Text(L"150").Get(), *Text(L"150").Get(), 50.0f, 100, 300));
}

}  // namespace
