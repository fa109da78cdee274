// The pooled handle list: the handle rules clients see, and lookups that stay exact however
// the list changes.
#include <gtest/gtest.h>
#include <set>
#include <vector>

#include "pooled_list.h"

namespace {

std::vector<int> Values(const PooledList<int>& list) {
    std::vector<int> values;
    list.ForEach([&](OPCHANDLE, const int& v) {
        values.push_back(v);
        return true;
    });
    return values;
}

TEST(PooledList, TheLastFreedHandleIsReusedFirstAndOrderIsKept) {
    PooledList<int> list;
    const OPCHANDLE a = list.Append(1), b = list.Append(2), c = list.Append(3);
    EXPECT_NE(0u, a);
    EXPECT_EQ(3u, std::set<OPCHANDLE>({a, b, c}).size());
    int out = 0;
    ASSERT_TRUE(list.Remove(a, out));
    EXPECT_EQ(1, out);
    ASSERT_TRUE(list.Remove(c, out));
    EXPECT_EQ(c, list.Append(4)) << "last freed, first reused";
    EXPECT_EQ(a, list.Append(5));
    EXPECT_EQ((std::vector<int>{2, 4, 5}), Values(list)) << "new entries go to the end";
    EXPECT_EQ(b, list.FirstHandle());
}

TEST(PooledList, StaleAndForeignHandlesFindNothing) {
    PooledList<int> list, other;
    const OPCHANDLE a = list.Append(1);
    list.Append(2);
    const OPCHANDLE foreign = other.Append(7);
    EXPECT_NE(a, foreign) << "lists number their handles apart";
    EXPECT_EQ(nullptr, list.Find(foreign));
    EXPECT_EQ(nullptr, list.Find(0));
    EXPECT_EQ(nullptr, list.Find(0xFFFFFFFF));
    int out = 0;
    ASSERT_TRUE(list.Remove(a, out));
    EXPECT_EQ(nullptr, list.Find(a));
    EXPECT_FALSE(list.Remove(a, out)) << "a second removal of the same handle";
    EXPECT_EQ(1u, list.Size());
}

TEST(PooledList, AnEmptiedListStartsItsNumberingAfresh) {
    PooledList<int> list;
    std::vector<OPCHANDLE> first;
    for (int i = 0; i < 25; ++i) first.push_back(list.Append(i));  // three pools
    int out = 0;
    for (OPCHANDLE h : first) ASSERT_TRUE(list.Remove(h, out));
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(0u, list.FirstHandle());
    EXPECT_EQ(first[0], list.Append(99)) << "pools released: the first slot again";
}

TEST(PooledList, ManyEntriesStayIndividuallyAddressable) {
    PooledList<int> list;
    std::vector<OPCHANDLE> handles;
    for (int i = 0; i < 100000; ++i) handles.push_back(list.Append(i));
    int out = 0;
    for (size_t i = 0; i < handles.size(); i += 2) ASSERT_TRUE(list.Remove(handles[i], out));
    for (size_t i = 1; i < handles.size(); i += 2) {
        ASSERT_NE(nullptr, list.Find(handles[i]));
        ASSERT_EQ(static_cast<int>(i), *list.Find(handles[i]));
    }
    EXPECT_EQ(50000u, list.Size());
    EXPECT_EQ(1, Values(list).front());
}

}  // namespace
