// Browsing and item properties through a real client connection, against the probe driver's
// tree (display name Probe; branch Dev with the tags Temp R4 21.5 (child tags Low, High; range
// -40 to 125 in degrees Celsius), Count I4 7 (counted in pieces, no range), Fixed I4 42
// read-only, Text BSTR "hello" and a name in the Cyrillic code page).
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "enum_strings.h"
#include "opc_client_fixture.h"

namespace {

const wchar_t kCyrillic[] = L"\x0422\x0435\x043C\x043F";  // the probe's "Темп"

class AddressSpace : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) +
                "eu=Dev.Temp:-40:125:\xB0"
                "C\n"  // "°C" in the Cyrillic code page
                "eu=Dev.Count:::pcs\n");
    }
    void SetUp() override {
        OpcClientTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(S_OK, server_.As(browse_));
        ASSERT_EQ(S_OK, server_.As(props_));
    }

    std::vector<std::wstring> Names(OPCBROWSETYPE type, const wchar_t* filter = L"",
                                    VARTYPE vt = VT_EMPTY, HRESULT* hr = nullptr) {
        ComPtr<IEnumString> e;
        const HRESULT result = browse_->BrowseOPCItemIDs(type, filter, vt, 0, e.Put());
        if (hr) *hr = result;
        return AllStrings(e.Get());
    }
    HRESULT Move(OPCBROWSEDIRECTION direction, const std::wstring& name = L"") {
        return browse_->ChangeBrowsePosition(direction, name.c_str());
    }
    std::wstring ItemId(const std::wstring& name) {
        LPWSTR id = nullptr;
        EXPECT_EQ(S_OK, browse_->GetItemID(const_cast<wchar_t*>(name.c_str()), &id));
        std::wstring result = id ? id : L"<null>";
        CoTaskMemFree(id);
        return result;
    }

    struct Available {
        std::vector<DWORD> ids;
        std::vector<std::wstring> descriptions;
        std::vector<VARTYPE> types;
    };
    Available Query(const std::wstring& item) {
        Available a;
        DWORD count = 0, *ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* types = nullptr;
        EXPECT_EQ(S_OK, props_->QueryAvailableProperties(const_cast<wchar_t*>(item.c_str()), &count,
                                                         &ids, &descriptions, &types));
        for (DWORD i = 0; i < count; ++i) {
            a.ids.push_back(ids[i]);
            a.descriptions.push_back(descriptions[i]);
            a.types.push_back(types[i]);
            CoTaskMemFree(descriptions[i]);
        }
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(types);
        return a;
    }

    ComPtr<IOPCBrowseServerAddressSpace> browse_;
    ComPtr<IOPCItemProperties> props_;
};

TEST_F(AddressSpace, ListsDriversThenTheDriversTreeLevelByLevel) {
    OPCNAMESPACETYPE organization;
    EXPECT_EQ(S_OK, browse_->QueryOrganization(&organization));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, organization);

    HRESULT hr;
    EXPECT_EQ((std::vector<std::wstring>{L"Probe"}), Names(OPC_BRANCH, L"", VT_EMPTY, &hr));
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(Names(OPC_LEAF, L"", VT_EMPTY, &hr).empty());
    EXPECT_EQ(S_FALSE, hr);
    EXPECT_TRUE(Names(OPC_FLAT, L"", VT_EMPTY, &hr).empty()) << "no flat listing";
    EXPECT_EQ(S_FALSE, hr);
    EXPECT_EQ(E_FAIL, Move(OPC_BROWSE_UP)) << "nothing above the root";

    ASSERT_EQ(S_OK, Move(OPC_BROWSE_DOWN, L"Probe"));
    EXPECT_EQ((std::vector<std::wstring>{L"Dev"}), Names(OPC_BRANCH));
    EXPECT_TRUE(Names(OPC_LEAF).empty());
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_DOWN, L"Dev"));
    const std::vector<std::wstring> leaves{L"Temp", L"Count", L"Fixed", L"Text", kCyrillic};
    EXPECT_EQ(leaves, Names(OPC_LEAF));
    // Filters change nothing.
    EXPECT_EQ(leaves, Names(OPC_LEAF, L"T*", VT_BOOL));
    EXPECT_TRUE(Names(OPC_BRANCH).empty());
    EXPECT_EQ(L"Probe.Dev.Temp", ItemId(L"Temp"));
    EXPECT_EQ(std::wstring(L"Probe.Dev.") + kCyrillic, ItemId(kCyrillic));
    // A tag's child tags are the leaves below it.
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_DOWN, L"Temp"));
    EXPECT_EQ((std::vector<std::wstring>{L"Low", L"High"}), Names(OPC_LEAF));
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_UP));
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_UP));
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_UP));
    EXPECT_EQ(L"Temp", ItemId(L"Temp")) << "back at the root";

    ComPtr<IEnumString> paths;
    EXPECT_EQ(S_FALSE, browse_->BrowseAccessPaths(L"Probe.Dev.Temp", paths.Put()));
    ASSERT_TRUE(paths);
    LPOLESTR path = nullptr;
    EXPECT_EQ(S_FALSE, paths->Next(1, &path, nullptr));
}

TEST_F(AddressSpace, PositionsAreNotLookedUp) {
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_TO, L"Probe.Dev.Temp"));
    EXPECT_EQ(L"Probe.Dev.Temp.Low", ItemId(L"Low"));
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_TO, L"Probe.Dev."));  // a trailing dot adds no level
    EXPECT_EQ(L"Probe.Dev.X", ItemId(L"X"));
    EXPECT_EQ(L"Probe.Dev.", ItemId(L""));
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_TO, L"A..B"));  // two dots: an empty level between
    EXPECT_EQ(L"A..B.X", ItemId(L"X"));
    EXPECT_TRUE(Names(OPC_BRANCH).empty()) << "no driver A";
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_TO, L""));
    EXPECT_EQ((std::vector<std::wstring>{L"Probe"}), Names(OPC_BRANCH));

    // Unknown names: nothing below a name that is no driver; below a driver, its top level.
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_DOWN, L"Nothing"));
    HRESULT hr;
    EXPECT_TRUE(Names(OPC_BRANCH, L"", VT_EMPTY, &hr).empty());
    EXPECT_EQ(S_FALSE, hr);
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_TO, L"Probe"));
    const std::wstring longName(5000, L'x');
    ASSERT_EQ(S_OK, Move(OPC_BROWSE_DOWN, longName));
    EXPECT_EQ((std::vector<std::wstring>{L"Dev"}), Names(OPC_BRANCH));
    EXPECT_EQ(L"Probe." + longName + L".Y", ItemId(L"Y"));
    EXPECT_EQ(E_FAIL, Move(static_cast<OPCBROWSEDIRECTION>(7), L"Dev"));
    EXPECT_EQ(L"Probe." + longName + L".Y", ItemId(L"Y")) << "an unknown direction moves nothing";

    // Each server object has its own position.
    ComPtr<IOPCBrowseServerAddressSpace> other = Another<IOPCBrowseServerAddressSpace>();
    ASSERT_TRUE(other);
    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, other->GetItemID(const_cast<wchar_t*>(L"Y"), &id));
    EXPECT_STREQ(L"Y", id);
    CoTaskMemFree(id);
}

TEST_F(AddressSpace, ChildTagsArePropertiesFrom5000AndTheStandardIdsKeepTheirMeaning) {
    // A tag without a range: the EU type, the units it has and its description.
    Available count = Query(L"Probe.Dev.Count");
    EXPECT_EQ((std::vector<DWORD>{7, 6, 5, 4, 3, 2, 1, 101, 100}), count.ids);
    EXPECT_EQ(
        (std::vector<VARTYPE>{VT_I4, VT_R4, VT_I4, VT_DATE, VT_I2, VT_I4, VT_I2, VT_BSTR, VT_BSTR}),
        count.types);
    EXPECT_EQ(
        (std::vector<std::wstring>{L"EU Type", L"Server Scan Rate", L"Item Access Rights",
                                   L"Item Timestamp", L"Item Quality", L"Item Value",
                                   L"Item Canonical Data Type", L"Item Description", L"EU Units"}),
        count.descriptions);
    EXPECT_EQ((std::vector<DWORD>{7, 6, 5, 4, 3, 2, 1, 101}), Query(L"Probe.Dev.Fixed").ids)
        << "no units, no range";

    // Low and High in the driver's order, 5000 and 5001, listed after the standard ones.
    Available temp = Query(L"Probe.Dev.Temp");
    EXPECT_EQ((std::vector<DWORD>{8, 7, 6, 5, 4, 3, 2, 1, 5001, 5000, 101, 100}), temp.ids);
    ASSERT_EQ(12u, temp.ids.size());
    EXPECT_EQ(L"EU Info", temp.descriptions[0]);
    EXPECT_EQ(VT_ARRAY | VT_R8, temp.types[0]);
    EXPECT_EQ(L"High", temp.descriptions[8]);
    EXPECT_EQ(L"Low", temp.descriptions[9]);
    EXPECT_EQ(VT_R4, temp.types[8]);

    // Identifiers that name no tag still list the six standard properties.
    for (const wchar_t* unknown : {L"Nothing", L"Probe.Dev.Nothing", L"Probe.Dev", L""})
        EXPECT_EQ((std::vector<DWORD>{6, 5, 4, 3, 2, 1}), Query(unknown).ids) << unknown;
}

TEST_F(AddressSpace, PropertyValuesAreTheTagsOwn) {
    // The value property is the tag's current value, not an empty cache.
    DWORD ids[] = {2, 6, 99, 3, 5000, 5001};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR temp = const_cast<wchar_t*>(L"Probe.Dev.Temp");
    ASSERT_EQ(S_OK, props_->GetItemProperties(temp, 6, ids, &values, &errors));
    EXPECT_EQ(VT_R4, V_VT(&values[0]));
    EXPECT_FLOAT_EQ(21.5f, V_R4(&values[0]));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(VT_R4, V_VT(&values[1]));
    EXPECT_EQ(0.0f, V_R4(&values[1]));
    EXPECT_EQ(VT_EMPTY, V_VT(&values[2]));
    EXPECT_EQ(OPC_E_INVALID_PID, errors[2]);
    EXPECT_EQ(OPC_QUALITY_GOOD, V_I2(&values[3]));
    EXPECT_FLOAT_EQ(-40.0f, V_R4(&values[4])) << "child tag Low";
    EXPECT_FLOAT_EQ(125.0f, V_R4(&values[5])) << "child tag High";
    for (VARIANT& v : std::vector<VARIANT>(values, values + 6)) VariantClear(&v);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    // A string value is handed out as a fresh copy each time.
    DWORD valueId = 2;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(S_OK, props_->GetItemProperties(const_cast<wchar_t*>(L"Probe.Dev.Text"), 1,
                                                  &valueId, &values, &errors));
        EXPECT_STREQ(L"hello", V_BSTR(&values[0]));
        VariantClear(&values[0]);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
    }
    EXPECT_EQ(OPC_E_UNKNOWNITEMID,
              props_->GetItemProperties(const_cast<wchar_t*>(L"Probe.Dev.Nothing"), 1, &valueId,
                                        &values, &errors));
    DWORD child = 5000;
    LPWSTR* itemIds = nullptr;
    ASSERT_EQ(S_OK, props_->LookupItemIDs(temp, 1, &child, &itemIds, &errors));
    EXPECT_STREQ(L"Probe.Dev.Temp.Low", itemIds[0]);
    CoTaskMemFree(itemIds[0]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);

    // Looking at properties is no client of the tag: nothing is written to the driver.
    const auto log = ReadProbeLog(install_->probe_);
    EXPECT_EQ(0u, CountCalls(log, "DLLSetObjectInfo"));
    EXPECT_EQ(0u, CountCalls(log, "DLLChangeClientCount"));
}

// Clients read 7 as the EU type and 8 as the EU info, and scale trends and percent deadbands
// by them: only a tag whose driver gives a range is analog. 100 and 101 are the driver's
// units and the tag's description, in the code page the driver wrote them in.
TEST_F(AddressSpace, EngineeringUnitsAndDescriptionAreTheDriversOwn) {
    struct Values {
        std::vector<VARIANT> values;
        std::vector<HRESULT> errors;
        ~Values() {
            for (VARIANT& v : values) VariantClear(&v);
        }
    };
    auto read = [&](const wchar_t* item, Values& out) {
        DWORD ids[] = {7, 8, 100, 101};
        VARIANT* values = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK,
                  props_->GetItemProperties(const_cast<wchar_t*>(item), 4, ids, &values, &errors));
        out.values.assign(values, values + 4);
        out.errors.assign(errors, errors + 4);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
    };
    Values temp;
    ASSERT_NO_FATAL_FAILURE(read(L"Probe.Dev.Temp", temp));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK}), temp.errors);
    EXPECT_EQ(VT_I4, V_VT(&temp.values[0]));
    EXPECT_EQ(static_cast<LONG>(OPC_ANALOG), V_I4(&temp.values[0]));
    ASSERT_EQ(VT_ARRAY | VT_R8, V_VT(&temp.values[1]));
    SAFEARRAY* range = V_ARRAY(&temp.values[1]);
    LONG low = -1, high = -1;
    SafeArrayGetLBound(range, 1, &low);
    SafeArrayGetUBound(range, 1, &high);
    ASSERT_EQ(0, low);
    ASSERT_EQ(1, high);
    double limits[2] = {};
    for (LONG i = 0; i < 2; ++i) SafeArrayGetElement(range, &i, &limits[i]);
    EXPECT_EQ(-40.0, limits[0]);
    EXPECT_EQ(125.0, limits[1]);
    ASSERT_EQ(VT_BSTR, V_VT(&temp.values[2]));
    EXPECT_STREQ(
        L"\x00B0"
        L"C",
        V_BSTR(&temp.values[2]));
    ASSERT_EQ(VT_BSTR, V_VT(&temp.values[3]));
    EXPECT_STREQ(L"probe object 2", V_BSTR(&temp.values[3])) << "the probe's description";

    Values fixed;
    ASSERT_NO_FATAL_FAILURE(read(L"Probe.Dev.Fixed", fixed));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_INVALID_PID, OPC_E_INVALID_PID, S_OK}),
              fixed.errors);
    EXPECT_EQ(VT_I4, V_VT(&fixed.values[0]));
    EXPECT_EQ(static_cast<LONG>(OPC_NOENUM), V_I4(&fixed.values[0]));
    EXPECT_EQ(VT_EMPTY, V_VT(&fixed.values[1]));
    EXPECT_EQ(VT_EMPTY, V_VT(&fixed.values[2]));
    EXPECT_EQ(VT_BSTR, V_VT(&fixed.values[3]));

    Values count;
    ASSERT_NO_FATAL_FAILURE(read(L"Probe.Dev.Count", count));
    EXPECT_EQ(static_cast<LONG>(OPC_NOENUM), V_I4(&count.values[0]))
        << "units alone make no analog item";
    EXPECT_EQ(OPC_E_INVALID_PID, count.errors[1]);
    ASSERT_EQ(VT_BSTR, V_VT(&count.values[2]));
    EXPECT_STREQ(L"pcs", V_BSTR(&count.values[2]));
}

// A client that follows the standard adds the identifier LookupItemIDs gives, for faster
// access than through the properties: every identifier given must be one AddItems takes.
TEST_F(AddressSpace, LookupGivesIdentifiersOnlyForPropertiesThatCanBeAdded) {
    DWORD lookup[] = {1, 2, 3, 4, 5, 6, 5000, 5001, 7, 99, 8, 100, 101};
    constexpr DWORD n = sizeof(lookup) / sizeof(lookup[0]);
    LPWSTR* itemIds = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, props_->LookupItemIDs(const_cast<wchar_t*>(L"Probe.Dev.Temp"), n, lookup,
                                          &itemIds, &errors));
    std::vector<std::wstring> given;
    for (DWORD i = 0; i < n; ++i) {
        given.push_back(itemIds[i] ? itemIds[i] : L"<null>");
        CoTaskMemFree(itemIds[i]);
    }
    const std::vector<HRESULT> results(errors, errors + n);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
    // The standard properties, the EU ones among them, are read through the item itself.
    const HRESULT pid = OPC_E_INVALID_PID;
    EXPECT_EQ(
        (std::vector<HRESULT>{pid, pid, pid, pid, pid, pid, S_OK, S_OK, pid, pid, pid, pid, pid}),
        results);
    EXPECT_EQ((std::vector<std::wstring>{L"<null>", L"<null>", L"<null>", L"<null>", L"<null>",
                                         L"<null>", L"Probe.Dev.Temp.Low", L"Probe.Dev.Temp.High",
                                         L"<null>", L"<null>", L"<null>", L"<null>", L"<null>"}),
              given);

    AddedGroup group = AddGroupTo(server_.Get(), L"By property", 1000, FALSE);
    ASSERT_EQ(S_OK, group.hr);
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, group.state.As(items));
    ASSERT_EQ(S_OK, group.state.As(io));
    Added added = AddItems(items.Get(), {given[6], given[7], L"Probe.Dev.Temp.Item Value"});
    ASSERT_EQ(S_FALSE, added.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, OPC_E_INVALIDITEMID}), added.errors);
    OPCHANDLE handles[] = {added[0], added[1]};
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 2, handles, &states, &errors));
    EXPECT_FLOAT_EQ(-40.0f, V_R4(&states[0].vDataValue)) << "the value property 5000 has";
    EXPECT_FLOAT_EQ(125.0f, V_R4(&states[1].vDataValue)) << "the value property 5001 has";
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // An identifier that names no tag has no properties to add.
    DWORD standard[] = {1, 2};
    ASSERT_EQ(S_OK, props_->LookupItemIDs(const_cast<wchar_t*>(L"Probe.Dev.Nothing"), 2, standard,
                                          &itemIds, &errors));
    EXPECT_EQ(nullptr, itemIds[0]);
    EXPECT_EQ(nullptr, itemIds[1]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[0]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[1]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
}

}  // namespace
