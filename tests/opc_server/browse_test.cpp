// IOPCBrowse through a real client connection, against the probe's tree (display name Probe;
// branch Dev with the tags Temp R4 21.5 (child tags Low, High), Count I4 7, Fixed I4 42
// read-only, Text BSTR "hello" and a name in the Cyrillic code page) and a branch Bench of
// 300 tags T00000 ... T00299 and ChangePercent.
#include <windows.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "browse_results.h"
#include "opc_client_fixture.h"

namespace {

const wchar_t kCyrillic[] = L"\x0422\x0435\x043C\x043F";  // the probe's "Темп"
constexpr DWORD kBenchTags = 300;

class Browsing : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) + "bench=Bench:300\n");
    }
    void SetUp() override {
        OpcClientTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(S_OK, server_.As(browse_));
        ASSERT_EQ(S_OK, server_.As(props_));
    }

    BrowsePage Browse(const BrowseRequest& request) { return BrowseOnce(browse_.Get(), request); }

    struct Properties {
        HRESULT hr = E_FAIL;
        std::vector<ItemPropertiesResult> items;
    };
    Properties Get(const std::vector<std::wstring>& ids, bool values,
                   const std::vector<DWORD>& propertyIds = {}) {
        std::vector<LPWSTR> pointers;
        for (const std::wstring& id : ids) pointers.push_back(const_cast<wchar_t*>(id.c_str()));
        OPCITEMPROPERTIES* out = nullptr;
        Properties p;
        p.hr = browse_->GetProperties(static_cast<DWORD>(ids.size()), pointers.data(), values,
                                      static_cast<DWORD>(propertyIds.size()),
                                      PropertyIds(propertyIds), &out);
        for (size_t i = 0; out && i < ids.size(); ++i)
            p.items.push_back(TakeItemProperties(out[i]));
        CoTaskMemFree(out);
        return p;
    }

    // What IOPCItemProperties says of the same item, for comparison.
    std::vector<DWORD> AvailableIds(const std::wstring& item) {
        DWORD count = 0, *ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        EXPECT_EQ(S_OK, props_->QueryAvailableProperties(const_cast<wchar_t*>(item.c_str()), &count,
                                                         &ids, &descriptions, &types));
        std::vector<DWORD> result(ids, ids + count);
        for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(types);
        return result;
    }

    ComPtr<IOPCBrowse> browse_;
    ComPtr<IOPCItemProperties> props_;
};

TEST_F(Browsing, GetPropertiesGivesWhatItemPropertiesGives) {
    Properties all = Get({L"Probe.Dev.Temp", L"Probe.Dev.Text"}, true);
    ASSERT_EQ(S_OK, all.hr);
    ASSERT_EQ(2u, all.items.size());
    const ItemPropertiesResult& temp = all.items[0];
    EXPECT_EQ(S_OK, temp.hr);
    std::vector<DWORD> ids;
    for (const PropertyResult& p : temp.properties) ids.push_back(p.id);
    EXPECT_EQ(AvailableIds(L"Probe.Dev.Temp"), ids) << "the same properties in the same order";
    const PropertyResult* value = temp.Find(2);
    ASSERT_TRUE(value);
    EXPECT_EQ(VT_R4, value->type);
    EXPECT_EQ(VT_R4, value->value.Type());
    EXPECT_FLOAT_EQ(21.5f, V_R4(value->value.Get()));
    EXPECT_EQ(L"Item Value", value->description);
    EXPECT_FALSE(value->hasItemId) << "read through the item itself";
    const PropertyResult* low = temp.Find(5000);
    ASSERT_TRUE(low);
    EXPECT_EQ(L"Low", low->description);
    EXPECT_EQ(L"Probe.Dev.Temp.Low", low->itemId) << "a child tag can be added as an item";
    EXPECT_FLOAT_EQ(-40.0f, V_R4(low->value.Get()));
    const PropertyResult* text = all.items[1].Find(2);
    ASSERT_TRUE(text);
    ASSERT_EQ(VT_BSTR, text->value.Type());
    EXPECT_STREQ(L"hello", V_BSTR(text->value.Get()));

    // Without values: the same list, every value empty.
    Properties bare = Get({L"Probe.Dev.Temp"}, false);
    ASSERT_EQ(S_OK, bare.hr);
    ASSERT_EQ(temp.properties.size(), bare.items[0].properties.size());
    for (const PropertyResult& p : bare.items[0].properties) {
        EXPECT_EQ(VT_EMPTY, p.value.Type()) << p.id;
        EXPECT_NE(VT_EMPTY, p.type) << "the type is there all the same: " << p.id;
        EXPECT_EQ(S_OK, p.hr);
    }
}

TEST_F(Browsing, GetPropertiesMarksUnknownPropertiesAndItems) {
    Properties some =
        Get({L"Probe.Dev.Count", L"Probe.Dev.Nothing", L"", L"Probe.Dev"}, true, {6, 99, 2});
    EXPECT_EQ(S_FALSE, some.hr);
    ASSERT_EQ(4u, some.items.size());
    const ItemPropertiesResult& count = some.items[0];
    EXPECT_EQ(S_FALSE, count.hr) << "one property asked for is not the item's";
    ASSERT_EQ(3u, count.properties.size());
    EXPECT_EQ(6u, count.properties[0].id);
    EXPECT_EQ(VT_R4, count.properties[0].type);
    EXPECT_EQ(S_OK, count.properties[0].hr);
    EXPECT_EQ(99u, count.properties[1].id);
    EXPECT_EQ(OPC_E_INVALID_PID, count.properties[1].hr);
    EXPECT_EQ(VT_EMPTY, count.properties[1].value.Type());
    EXPECT_EQ(2u, count.properties[2].id);
    EXPECT_EQ(7, V_I4(count.properties[2].value.Get()));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, some.items[1].hr);
    EXPECT_TRUE(some.items[1].properties.empty());
    EXPECT_EQ(OPC_E_INVALIDITEMID, some.items[2].hr);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, some.items[3].hr) << "a branch is no item";

    EXPECT_EQ(S_OK, Get({L"Probe.Dev.Count"}, false, {1, 5}).hr);
    OPCITEMPROPERTIES* out = reinterpret_cast<OPCITEMPROPERTIES*>(1);
    LPWSTR id = const_cast<wchar_t*>(L"Probe.Dev.Count");
    EXPECT_EQ(E_INVALIDARG, browse_->GetProperties(0, &id, TRUE, 0, PropertyIds({}), &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(Browsing, ListsABranchWithFlagsAndFilters) {
    BrowsePage root = Browse({});
    ASSERT_EQ(S_OK, root.hr);
    EXPECT_EQ((std::vector<std::wstring>{L"Probe"}), root.Names());
    EXPECT_EQ(L"Probe", root.elements[0].itemId);
    EXPECT_EQ(DWORD{OPC_BROWSE_HASCHILDREN}, root.elements[0].flags);
    EXPECT_FALSE(root.more);
    EXPECT_EQ(L"", root.point);

    BrowsePage dev = Browse({L"Probe.Dev"});
    ASSERT_EQ(S_OK, dev.hr);
    EXPECT_EQ((std::vector<std::wstring>{L"Temp", L"Count", L"Fixed", L"Text", kCyrillic}),
              dev.Names());
    const ElementResult* temp = dev.Find(L"Temp");
    ASSERT_TRUE(temp);
    EXPECT_EQ(L"Probe.Dev.Temp", temp->itemId);
    EXPECT_EQ(DWORD{OPC_BROWSE_ISITEM | OPC_BROWSE_HASCHILDREN}, temp->flags)
        << "a tag with child tags is an item to open";
    EXPECT_EQ(DWORD{OPC_BROWSE_ISITEM}, dev.Find(L"Count")->flags);
    EXPECT_EQ(std::wstring(L"Probe.Dev.") + kCyrillic, dev.Find(kCyrillic)->itemId);
    EXPECT_TRUE(temp->properties.properties.empty()) << "no properties unless asked";

    EXPECT_EQ((std::vector<std::wstring>{L"Temp"}),
              Browse({L"Probe.Dev", L"", 0, OPC_BROWSE_FILTER_BRANCHES}).Names());
    EXPECT_EQ(dev.Names(), Browse({L"Probe.Dev", L"", 0, OPC_BROWSE_FILTER_ITEMS}).Names());
    EXPECT_EQ((std::vector<std::wstring>{L"Dev", L"Bench"}),
              Browse({L"Probe", L"", 0, OPC_BROWSE_FILTER_BRANCHES}).Names());
    EXPECT_TRUE(Browse({L"Probe", L"", 0, OPC_BROWSE_FILTER_ITEMS}).Names().empty());

    // The element name filter's wildcards.
    auto named = [&](const wchar_t* filter) {
        BrowseRequest r{L"Probe.Dev"};
        r.names = filter;
        BrowsePage page = Browse(r);
        EXPECT_EQ(S_OK, page.hr) << filter;
        return page.Names();
    };
    EXPECT_EQ((std::vector<std::wstring>{L"Temp", L"Text"}), named(L"T*"));
    EXPECT_EQ((std::vector<std::wstring>{L"Text"}), named(L"T?x*"));
    EXPECT_EQ((std::vector<std::wstring>{L"Count", L"Fixed"}), named(L"[CF]*"));
    EXPECT_EQ((std::vector<std::wstring>{L"Count", L"Fixed", kCyrillic}), named(L"[!T]*"));
    EXPECT_EQ((std::vector<std::wstring>{L"Fixed"}), named(L"*d"));
    EXPECT_TRUE(named(L"t*").empty()) << "names are compared case by case";
    EXPECT_EQ((std::vector<std::wstring>{L"T00010", L"T00011"}),
              Browse({L"Probe.Bench", L"", 0, OPC_BROWSE_FILTER_ALL, L"T0001[0-1]"}).Names());
    EXPECT_EQ(10u,
              Browse({L"Probe.Bench", L"", 0, OPC_BROWSE_FILTER_ALL, L"T0029#"}).elements.size());

    // Below a tag: its child tags; a tag without any: nothing.
    EXPECT_EQ((std::vector<std::wstring>{L"Low", L"High"}), Browse({L"Probe.Dev.Temp"}).Names());
    BrowsePage leaf = Browse({L"Probe.Dev.Count"});
    EXPECT_EQ(S_OK, leaf.hr);
    EXPECT_TRUE(leaf.elements.empty());
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, Browse({L"Probe.Nothing"}).hr);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, Browse({L"Nobody.Dev"}).hr);
}

TEST_F(Browsing, ElementsCarryTheirProperties) {
    BrowseRequest all{L"Probe.Dev"};
    all.allProperties = true;
    all.values = true;
    BrowsePage page = Browse(all);
    ASSERT_EQ(S_OK, page.hr);
    const ElementResult* temp = page.Find(L"Temp");
    ASSERT_TRUE(temp);
    EXPECT_EQ(S_OK, temp->properties.hr);
    std::vector<DWORD> ids;
    for (const PropertyResult& p : temp->properties.properties) ids.push_back(p.id);
    EXPECT_EQ(AvailableIds(L"Probe.Dev.Temp"), ids);
    EXPECT_FLOAT_EQ(21.5f, V_R4(temp->properties.Find(2)->value.Get()));
    EXPECT_EQ(L"Probe.Dev.Temp.High", temp->properties.Find(5001)->itemId);

    BrowseRequest some{L"Probe"};
    some.propertyIds = {1, 4711};
    BrowsePage top = Browse(some);
    EXPECT_EQ(S_OK, top.hr) << "branches that are no items have no properties to fail";
    for (const ElementResult& e : top.elements) EXPECT_TRUE(e.properties.properties.empty());
    some.itemId = L"Probe.Dev";
    BrowsePage requested = Browse(some);
    EXPECT_EQ(S_FALSE, requested.hr) << "a property asked for is nobody's";
    const ElementResult* count = requested.Find(L"Count");
    ASSERT_TRUE(count);
    ASSERT_EQ(2u, count->properties.properties.size());
    EXPECT_EQ(S_FALSE, count->properties.hr);
    EXPECT_EQ(VT_I2, count->properties.properties[0].type);
    EXPECT_EQ(VT_EMPTY, count->properties.properties[0].value.Type()) << "values not asked for";
    EXPECT_EQ(OPC_E_INVALID_PID, count->properties.properties[1].hr);
}

TEST_F(Browsing, ContinuationPointsGiveEveryElementOnce) {
    std::set<std::wstring> seen;
    BrowseRequest r{L"Probe.Bench"};
    r.max = 64;
    r.allProperties = true;
    r.values = true;
    int calls = 0;
    for (;;) {
        BrowsePage page = Browse(r);
        ASSERT_EQ(S_OK, page.hr);
        ASSERT_LE(page.elements.size(), 64u);
        ++calls;
        for (const ElementResult& e : page.elements) {
            EXPECT_TRUE(seen.insert(e.itemId).second)
                << "twice: " << testing::PrintToString(e.itemId);
            EXPECT_EQ(S_OK, e.properties.hr);
            EXPECT_FALSE(e.properties.properties.empty());
        }
        EXPECT_EQ(page.more, !page.point.empty());
        if (page.point.empty()) break;
        r.point = page.point;
        ASSERT_LT(calls, 100);
    }
    EXPECT_EQ(kBenchTags + 1, seen.size()) << "every T tag and ChangePercent";
    EXPECT_EQ(5, calls);
    EXPECT_EQ(1u, seen.count(L"Probe.Bench.T00299"));
}

TEST_F(Browsing, RefusesContinuationPointsItDidNotGiveOrGaveForAnotherBrowse) {
    BrowseRequest r{L"Probe.Bench"};
    r.max = 10;
    BrowsePage first = Browse(r);
    ASSERT_EQ(S_OK, first.hr);
    ASSERT_TRUE(first.more);
    ASSERT_FALSE(first.point.empty());

    BrowseRequest forged = r;
    forged.point = L"{00000000-0000-0000-0000-000000000000}";
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, Browse(forged).hr);
    forged.point = std::wstring(5000, L'x');
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, Browse(forged).hr);

    // Another server object's points are not this one's.
    ComPtr<IOPCBrowse> other = Another<IOPCBrowse>();
    ASSERT_TRUE(other);
    BrowseRequest foreign = r;
    foreign.point = first.point;
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, BrowseOnce(other.Get(), foreign).hr);

    // A point belongs to its browse: another branch or filter does not resume it.
    BrowseRequest elsewhere = foreign;
    elsewhere.itemId = L"Probe.Dev";
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, Browse(elsewhere).hr);
    // ... and a point is spent once used, whatever that use gave.
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, Browse(foreign).hr);

    // Points are kept for a bounded number of browses; the oldest go first.
    std::vector<std::wstring> points;
    for (int i = 0; i < 40; ++i) points.push_back(Browse(r).point);
    foreign.point = points.front();
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, Browse(foreign).hr);
    foreign.point = points.back();
    BrowsePage resumed = Browse(foreign);
    EXPECT_EQ(S_OK, resumed.hr);
    ASSERT_FALSE(resumed.elements.empty());
    EXPECT_EQ(first.elements.size(), 10u);
    EXPECT_EQ(L"Probe.Bench.T00009", resumed.elements[0].itemId)
        << "resumed after the tenth element (ChangePercent comes first)";
}

TEST_F(Browsing, RefusesBadArguments) {
    BrowseRequest badFilter{L"Probe.Dev"};
    badFilter.filter = static_cast<OPCBROWSEFILTER>(7);
    EXPECT_EQ(E_INVALIDARG, Browse(badFilter).hr);
    BrowseRequest longNames{L"Probe.Dev"};
    longNames.names = std::wstring(5000, L'*');
    EXPECT_EQ(E_INVALIDARG, Browse(longNames).hr);
    BrowseRequest openSet{L"Probe.Dev"};
    openSet.names = L"[abc";
    EXPECT_EQ(E_INVALIDARG, Browse(openSet).hr);
    BrowseRequest huge{L"Probe.Dev"};
    huge.names = L"*";
    huge.max = 0xFFFFFFFF;
    BrowsePage unlimited = Browse(huge);
    EXPECT_EQ(S_OK, unlimited.hr);
    EXPECT_EQ(5u, unlimited.elements.size());
    // A star per character could take a naive matcher ages.
    BrowseRequest stars{L"Probe.Bench"};
    stars.names = std::wstring(2000, L'*') + L"x";
    const DWORD start = GetTickCount();
    EXPECT_TRUE(Browse(stars).elements.empty());
    EXPECT_LT(GetTickCount() - start, 5000u);
}

}  // namespace
