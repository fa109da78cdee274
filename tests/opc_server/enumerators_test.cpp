// The snapshot enumerators: Next, Skip, Reset and Clone by the rules clients depend on, the
// ownership of what they hand out, and the lifetime of their sources.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "enumerators.h"
#include "server_module.h"
#include "test_objects.h"

namespace {

ComPtr<IEnumString> Strings(std::vector<std::wstring> items, ComPtr<IUnknown> source = nullptr) {
    ComPtr<IEnumString> e;
    EXPECT_EQ(S_OK, EnumString::CreateInto(std::move(items), std::move(source), e.Put()));
    return e;
}

std::vector<std::wstring> Take(IEnumString* e, ULONG celt, HRESULT expected) {
    std::vector<LPOLESTR> out(celt + 1, nullptr);
    ULONG fetched = 12345;
    EXPECT_EQ(expected, e->Next(celt, out.data(), &fetched));
    std::vector<std::wstring> result;
    for (ULONG i = 0; i < fetched; ++i) {
        result.emplace_back(out[i]);
        CoTaskMemFree(out[i]);
    }
    EXPECT_EQ(nullptr, out[fetched]) << "nothing written past the fetched count";
    return result;
}

TEST(SnapshotEnum, NextHandsOutCopiesAndReportsShortFetches) {
    auto e = Strings({L"a", L"б", L"c"});
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"б"}), Take(e.Get(), 2, S_OK));
    EXPECT_EQ((std::vector<std::wstring>{L"c"}), Take(e.Get(), 5, S_FALSE));
    EXPECT_TRUE(Take(e.Get(), 1, S_FALSE).empty());
}

TEST(SnapshotEnum, NextChecksItsPointers) {
    auto e = Strings({L"a", L"b"});
    LPOLESTR out[2] = {};
    EXPECT_EQ(E_POINTER, e->Next(2, out, nullptr));
    EXPECT_EQ(E_POINTER, e->Next(1, nullptr, nullptr));
    // A single element may be asked for without a count.
    EXPECT_EQ(S_OK, e->Next(1, out, nullptr));
    EXPECT_STREQ(L"a", out[0]);
    CoTaskMemFree(out[0]);
}

TEST(SnapshotEnum, EmptyEnumeratorRunsOutAtOnce) {
    auto e = Strings({});
    LPOLESTR out[1] = {};
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, e->Next(1, out, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_FALSE, e->Skip(1));
    EXPECT_EQ(S_OK, e->Reset());
}

TEST(SnapshotEnum, SkipStopsAtTheEnd) {
    auto e = Strings({L"1", L"2", L"3", L"4"});
    EXPECT_EQ(S_OK, e->Skip(1));
    EXPECT_EQ((std::vector<std::wstring>{L"2"}), Take(e.Get(), 1, S_OK));
    EXPECT_EQ(S_FALSE, e->Skip(100));
    EXPECT_TRUE(Take(e.Get(), 1, S_FALSE).empty());
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_FALSE, e->Skip(4)) << "reaching the end counts as running out";
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"2", L"3", L"4"}), Take(e.Get(), 4, S_OK));
}

TEST(SnapshotEnum, CloneSharesTheSnapshotAtTheSamePosition) {
    std::vector<std::wstring> items{L"x", L"y", L"z"};
    auto e = Strings(items);
    items[1] = L"changed";  // the snapshot was copied
    EXPECT_EQ(S_OK, e->Skip(1));
    ComPtr<IEnumString> clone;
    EXPECT_EQ(E_POINTER, e->Clone(nullptr));
    ASSERT_EQ(S_OK, e->Clone(clone.Put()));
    EXPECT_EQ((std::vector<std::wstring>{L"y", L"z"}), Take(clone.Get(), 9, S_FALSE));
    // Independent positions from here on; the clone keeps its origin alive.
    e.Reset();
    ASSERT_EQ(S_OK, clone->Reset());
    EXPECT_EQ((std::vector<std::wstring>{L"x"}), Take(clone.Get(), 1, S_OK));
}

TEST(SnapshotEnum, HoldsItsSourceAndAModuleLock) {
    CountedUnknown source;
    const LONG locks = Module().LockCount();
    {
        auto e = Strings({L"a"}, ComPtr<IUnknown>(&source));
        EXPECT_EQ(2, source.refs);
        EXPECT_EQ(locks + 1, Module().LockCount());
        ComPtr<IEnumString> clone;
        ASSERT_EQ(S_OK, e->Clone(clone.Put()));
        EXPECT_EQ(locks + 2, Module().LockCount());
    }
    EXPECT_EQ(1, source.refs);
    EXPECT_EQ(locks, Module().LockCount());
}

TEST(SnapshotEnum, InterfaceElementsAreCountedForTheCaller) {
    CountedUnknown element;
    ComPtr<IEnumUnknown> e;
    ASSERT_EQ(S_OK,
              EnumUnknown::CreateInto({ComPtr<IUnknown>(&element), ComPtr<IUnknown>(&element)},
                                      nullptr, e.Put()));
    EXPECT_EQ(3, element.refs);
    IUnknown* out[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(3, out, &fetched));
    EXPECT_EQ(2u, fetched);
    EXPECT_EQ(5, element.refs);
    out[0]->Release();
    out[1]->Release();
    e.Reset();
    EXPECT_EQ(1, element.refs);
}

// A policy whose third copy fails, to check that Next takes back what it handed out.
struct FailingPolicy {
    using Interface = IEnumString;
    using Element = LPOLESTR;
    using Stored = int;
    static inline int destroyed = 0;
    static void Copy(const Stored& from, Element* to) {
        if (from == 3) throw std::bad_alloc();
        *to = CoTaskStrDup(L"ok");
    }
    static void Destroy(Element& e) noexcept {
        ++destroyed;
        CoTaskMemFree(e);
        e = nullptr;
    }
};

TEST(SnapshotEnum, FailedCopyReturnsNothingAndLeaksNothing) {
    auto e = SnapshotEnum<FailingPolicy>::Create({1, 2, 3, 4}, nullptr);
    LPOLESTR out[4] = {};
    ULONG fetched = 99;
    EXPECT_EQ(E_OUTOFMEMORY, e->Next(4, out, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(2, FailingPolicy::destroyed);
    EXPECT_EQ(nullptr, out[0]);
    EXPECT_EQ(nullptr, out[1]);
    // The position did not move: the first two are still there.
    EXPECT_EQ(S_OK, e->Next(2, out, &fetched));
    EXPECT_EQ(2u, fetched);
    CoTaskMemFree(out[0]);
    CoTaskMemFree(out[1]);
}

}  // namespace
