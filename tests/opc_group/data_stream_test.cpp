// The OPC DA 1.0 streams byte for byte: the layouts a DA 1.0 client reads, the same bytes
// from either build, the reader's round trip of every type the simulator offers, and the
// reader's refusal of streams that do not hold together.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

#include "data_stream.h"
#include "sim_model.h"

namespace {

using namespace opcstream;

DWORD DwordAt(const std::vector<BYTE>& s, size_t at) {
    DWORD v;
    memcpy(&v, s.data() + at, 4);
    return v;
}
WORD WordAt(const std::vector<BYTE>& s, size_t at) {
    WORD v;
    memcpy(&v, s.data() + at, 2);
    return v;
}

struct TwoItems {
    Variant a, b;
    std::vector<Item> items;
    TwoItems() {
        V_VT(a.Put()) = VT_R4;
        V_R4(a.Get()) = 1.5f;
        V_VT(b.Put()) = VT_BSTR;
        V_BSTR(b.Get()) = SysAllocString(L"ab");
        items = {{11, 0xC0, {0x11111111, 0x22222222}, a.Get()},
                 {12, 0x18, {0x33333333, 0x44444444}, b.Get()}};
    }
};

TEST(DataStream, DataTimeLayoutOfAFloatAndAString) {
    TwoItems t;
    const std::vector<BYTE> s = BuildData(Format::kDataTime, 77, 0, S_OK, t.items);
    ASSERT_EQ(102u, s.size());
    EXPECT_EQ(102u, DwordAt(s, 0));
    EXPECT_EQ(2u, DwordAt(s, 4));
    EXPECT_EQ(77u, DwordAt(s, 8));
    EXPECT_EQ(0u, DwordAt(s, 12));
    EXPECT_EQ(0u, DwordAt(s, 16));
    // Item headers: client, value offset, quality, reserved, timestamp.
    EXPECT_EQ(11u, DwordAt(s, 20));
    EXPECT_EQ(60u, DwordAt(s, 24));
    EXPECT_EQ(0xC0, WordAt(s, 28));
    EXPECT_EQ(0u, WordAt(s, 30));
    EXPECT_EQ(0x11111111u, DwordAt(s, 32));
    EXPECT_EQ(0x22222222u, DwordAt(s, 36));
    EXPECT_EQ(12u, DwordAt(s, 40));
    EXPECT_EQ(76u, DwordAt(s, 44));
    EXPECT_EQ(0x18, WordAt(s, 48));
    // The values: A's image, B's image with a zero pointer, then B's byte count and text.
    EXPECT_EQ(VT_R4, WordAt(s, 60));
    float a;
    memcpy(&a, s.data() + 68, 4);
    EXPECT_EQ(1.5f, a);
    EXPECT_EQ(VT_BSTR, WordAt(s, 76));
    EXPECT_EQ(0u, DwordAt(s, 84));
    EXPECT_EQ(0u, DwordAt(s, 88));
    EXPECT_EQ(6u, DwordAt(s, 92));
    EXPECT_EQ(L'a', WordAt(s, 96));
    EXPECT_EQ(L'b', WordAt(s, 98));
    EXPECT_EQ(0u, WordAt(s, 100));
}

TEST(DataStream, DataLayoutLeavesOutTheTimestamps) {
    TwoItems t;
    const std::vector<BYTE> s = BuildData(Format::kData, 77, 0, S_OK, t.items);
    ASSERT_EQ(86u, s.size());
    EXPECT_EQ(86u, DwordAt(s, 0));
    EXPECT_EQ(44u, DwordAt(s, 24));
    EXPECT_EQ(60u, DwordAt(s, 36));
    EXPECT_EQ(0x18, WordAt(s, 40));
    EXPECT_EQ(VT_R4, WordAt(s, 44));
    EXPECT_EQ(6u, DwordAt(s, 76));
}

TEST(DataStream, WriteCompleteLayout) {
    const std::vector<BYTE> s =
        BuildWriteComplete(77, 1, S_OK, {{1, S_OK}, {2, OPC_E_BADRIGHTS}, {3, S_OK}});
    ASSERT_EQ(40u, s.size());
    EXPECT_EQ(3u, DwordAt(s, 0));
    EXPECT_EQ(77u, DwordAt(s, 4));
    EXPECT_EQ(1u, DwordAt(s, 8));
    EXPECT_EQ(2u, DwordAt(s, 24));
    EXPECT_EQ(static_cast<DWORD>(OPC_E_BADRIGHTS), DwordAt(s, 28));
    ReadStream back;
    ASSERT_TRUE(ReadWriteComplete(s.data(), s.size(), back));
    ASSERT_EQ(3u, back.items.size());
    EXPECT_EQ(OPC_E_BADRIGHTS, back.items[1].error);
}

// The descriptor of a 32-bit process and the first dimension's elements, whatever the build.
TEST(DataStream, AnArrayFollowsAsItsDescriptorAndElements) {
    Variant v;
    SAFEARRAY* a = SafeArrayCreateVector(VT_I2, 1, 3);
    for (LONG i = 0; i < 3; ++i) static_cast<SHORT*>(a->pvData)[i] = static_cast<SHORT>(10 + i);
    V_VT(v.Put()) = VT_ARRAY | VT_I2;
    V_ARRAY(v.Get()) = a;
    const std::vector<BYTE> s = BuildData(Format::kData, 1, 0, S_OK, {{5, 0xC0, {}, v.Get()}});
    ASSERT_EQ(20u + 12 + 16 + 24 + 6, s.size());
    const size_t d = 48;  // the descriptor, right after the 16-byte value image
    EXPECT_EQ(VT_ARRAY | VT_I2, WordAt(s, 32));
    EXPECT_EQ(0u, DwordAt(s, 40)) << "no pointer in the image";
    EXPECT_EQ(1u, WordAt(s, d));       // cDims
    EXPECT_EQ(2u, DwordAt(s, d + 4));  // cbElements
    EXPECT_EQ(0u, DwordAt(s, d + 12)) << "no data pointer";
    EXPECT_EQ(3u, DwordAt(s, d + 16));  // cElements
    EXPECT_EQ(1u, DwordAt(s, d + 20));  // lLbound
    EXPECT_EQ(10u, WordAt(s, d + 24));
    EXPECT_EQ(12u, WordAt(s, d + 28));

    // A string array: its elements are pointers, so zeros of their 32-bit size.
    Variant strings;
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    static_cast<BSTR*>(sa->pvData)[0] = SysAllocString(L"x");
    V_VT(strings.Put()) = VT_ARRAY | VT_BSTR;
    V_ARRAY(strings.Get()) = sa;
    const std::vector<BYTE> t =
        BuildData(Format::kData, 1, 0, S_OK, {{5, 0xC0, {}, strings.Get()}});
    ASSERT_EQ(20u + 12 + 16 + 24 + 8, t.size());
    EXPECT_EQ(4u, DwordAt(t, 48 + 4));
    EXPECT_EQ(0u, DwordAt(t, 72));
}

// Every type the simulator offers goes through the writer and comes back from the reader.
TEST(DataStream, EveryTypeOfTheSimulatorRoundTrips) {
    std::vector<Variant> values;
    for (VARTYPE type : SimTypes()) {
        Variant v;
        if (type & VT_ARRAY) {
            V_VT(v.Put()) = type;
            V_ARRAY(v.Get()) = SafeArrayCreateVector(type & VT_TYPEMASK, 0, 4);
            // Elements 10, 11, 12, 13 in the array's own type.
            for (LONG k = 0; k < 4; ++k) {
                Variant element;
                V_VT(element.Put()) = VT_I4;
                V_I4(element.Get()) = 10 + k;
                Variant typed;
                ASSERT_EQ(S_OK,
                          VariantChangeType(typed.Put(), element.Get(), 0, type & VT_TYPEMASK));
                ASSERT_EQ(S_OK, SafeArrayPutElement(V_ARRAY(v.Get()), &k, &V_I4(typed.Get())));
            }
        } else {
            Variant one;
            V_VT(one.Put()) = VT_R8;
            V_R8(one.Get()) = 1.0;
            ASSERT_EQ(S_OK, VariantChangeType(v.Put(), one.Get(), 0, type)) << type;
        }
        values.push_back(std::move(v));
    }
    std::vector<Item> items;
    for (size_t i = 0; i < values.size(); ++i)
        items.push_back({static_cast<OPCHANDLE>(i + 1), 0xC0, {1, 2}, values[i].Get()});
    for (Format format : {Format::kData, Format::kDataTime}) {
        const std::vector<BYTE> s = BuildData(format, 9, 0, S_OK, items);
        ReadStream back;
        ASSERT_TRUE(ReadData(format, s.data(), s.size(), back));
        EXPECT_EQ(9u, back.group);
        ASSERT_EQ(values.size(), back.items.size());
        for (size_t i = 0; i < values.size(); ++i) {
            const VARIANT& sent = *values[i].Get();
            const VARIANT& got = *back.items[i].value.Get();
            ASSERT_EQ(V_VT(&sent), V_VT(&got)) << i;
            EXPECT_EQ(i + 1, back.items[i].client);
            if (format == Format::kDataTime) {
                EXPECT_EQ(2u, back.items[i].timestamp.dwHighDateTime);
            }
            if (V_VT(&sent) & VT_ARRAY) {
                ASSERT_EQ(4u, V_ARRAY(&got)->rgsabound[0].cElements);
                const VARTYPE element = V_VT(&sent) & VT_TYPEMASK;
                for (LONG k = 0; k < 4; ++k) {
                    Variant a, b;
                    V_VT(a.Put()) = element;
                    V_VT(b.Put()) = element;
                    ASSERT_EQ(S_OK, SafeArrayGetElement(V_ARRAY(&sent), &k, &V_I4(a.Get())));
                    ASSERT_EQ(S_OK, SafeArrayGetElement(V_ARRAY(&got), &k, &V_I4(b.Get())));
                    EXPECT_EQ(VARCMP_EQ, VarCmp(a.Get(), b.Get(), 0, 0))
                        << "element " << k << " of type " << element;
                }
            } else if (V_VT(&sent) == VT_BSTR) {
                EXPECT_STREQ(V_BSTR(&sent), V_BSTR(&got));
            } else {
                Variant a, b;
                ASSERT_EQ(S_OK, VariantChangeType(a.Put(), const_cast<VARIANT*>(&sent), 0, VT_R8));
                ASSERT_EQ(S_OK, VariantChangeType(b.Put(), const_cast<VARIANT*>(&got), 0, VT_R8));
                EXPECT_EQ(V_R8(a.Get()), V_R8(b.Get())) << V_VT(&sent);
            }
        }
    }
}

TEST(DataStream, AStreamThatDoesNotHoldTogetherIsRefused) {
    TwoItems t;
    const std::vector<BYTE> good = BuildData(Format::kDataTime, 77, 0, S_OK, t.items);
    ReadStream out;
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(ReadData(Format::kDataTime, good.data(), cut, out)) << cut;
    EXPECT_FALSE(ReadData(Format::kDataTime, nullptr, 0, out));

    std::vector<BYTE> bad = good;
    const DWORD huge = 0x7FFFFFFF;
    memcpy(bad.data() + 4, &huge, 4);  // the item count
    EXPECT_FALSE(ReadData(Format::kDataTime, bad.data(), bad.size(), out));
    bad = good;
    memcpy(bad.data() + 44, &huge, 4);  // B's value offset
    EXPECT_FALSE(ReadData(Format::kDataTime, bad.data(), bad.size(), out));
    bad = good;
    memcpy(bad.data() + 92, &huge, 4);  // B's string length
    EXPECT_FALSE(ReadData(Format::kDataTime, bad.data(), bad.size(), out));
    EXPECT_FALSE(ReadWriteComplete(good.data(), 10, out));
}

}  // namespace
