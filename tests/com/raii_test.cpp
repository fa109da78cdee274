// The RAII wrappers: what they free, what they copy, and how out-arrays are handed over.
#include <gtest/gtest.h>
#include <cstdint>

#include "co_task_mem.h"
#include "com_call.h"
#include "com_ptr.h"
#include "test_objects.h"
#include "variant.h"
#include "variants.h"

namespace {

TEST(ComPtr, CountsExactlyOneReferencePerOwner) {
    CountedUnknown object;
    {
        ComPtr<IUnknown> a(&object);
        EXPECT_EQ(2, object.refs);
        ComPtr<IUnknown> b = a;
        EXPECT_EQ(3, object.refs);
        ComPtr<IUnknown> c = std::move(b);
        EXPECT_EQ(3, object.refs);
        EXPECT_FALSE(b);
        a = c;  // same object: no change
        EXPECT_EQ(3, object.refs);
        IUnknown* out = nullptr;
        ASSERT_EQ(S_OK, c.CopyTo(&out));
        EXPECT_EQ(4, object.refs);
        out->Release();
        IUnknown* detached = c.Detach();
        EXPECT_EQ(3, object.refs);
        auto attached = ComPtr<IUnknown>::Attach(detached);
        EXPECT_EQ(3, object.refs);
    }
    EXPECT_EQ(1, object.refs);
}

TEST(Variant, CopiesAreDeepAndClearedOnce) {
    Variant text = MakeBstr(L"Температура");
    Variant copy = text;
    ASSERT_EQ(VT_BSTR, copy.Type());
    EXPECT_NE(V_BSTR(text.Get()), V_BSTR(copy.Get()));
    EXPECT_EQ(L"Температура", BstrOf(*copy.Get()));

    Variant array = MakeDoubleArray({1, 2});
    Variant arrayCopy(*array.Get());
    EXPECT_NE(V_ARRAY(array.Get()), V_ARRAY(arrayCopy.Get()));
    EXPECT_EQ((std::vector<double>{1, 2}), DoubleArrayOf(*arrayCopy.Get()));

    VARIANT raw;
    VariantInit(&raw);
    copy.DetachTo(&raw);
    EXPECT_EQ(VT_EMPTY, copy.Type());
    EXPECT_EQ(L"Температура", BstrOf(raw));
    VariantClear(&raw);
}

TEST(CoTaskArray, RefusesCountsThatCannotBeAllocated) {
    EXPECT_EQ(E_OUTOFMEMORY, ComCall([] {
                  CoTaskArray<VARIANT> huge(SIZE_MAX / 2);
                  return S_OK;
              }));
    EXPECT_EQ(E_OUTOFMEMORY, ComCall([] {
                  CoTaskArray<OPCITEMSTATE> huge(0xFFFFFFFFu);
                  return S_OK;
              }));
    CoTaskArray<DWORD> empty(0);
    EXPECT_EQ(nullptr, empty.Get());
}

TEST(CoTaskArray, IsZeroedAndHandedOverOnlyByDetach) {
    CoTaskArray<HRESULT> errors(4);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(S_OK, errors[i]);
    errors[3] = E_FAIL;
    HRESULT* handed = errors.Detach();
    EXPECT_EQ(nullptr, errors.Get());
    EXPECT_EQ(E_FAIL, handed[3]);
    CoTaskMemFree(handed);

    CoTaskString s(L"строка");
    EXPECT_STREQ(L"строка", s.Get());
    EXPECT_EQ(nullptr, CoTaskStrDup(nullptr));
}

}  // namespace
