// Browsing and item properties on a server object in this process, over the probe driver
// loaded into the process's driver lists: the calls no proxy lets through (null pointers,
// impossible counts), a tree that contains itself, one server object used by two threads, and
// the process's limit of groups.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "driver_list.h"
#include "enum_strings.h"
#include "opc_group.h"
#include "opc_server.h"
#include "probe_driver_files.h"
#include "ready_flag.h"
#include "scan_thread.h"

namespace {

class InProcessServer : public testing::Test {
  protected:
    virtual std::string Tree() const {
        return "root=Probe\nbranch=Dev\nbranch=Dev.Sub\ntag=Dev.Temp:R4:21.5\n"
               "subtag=Dev.Temp.Low:R4:-40\ntag=Dev.Text:BSTR:hello\ncyclic=1\n";
    }
    void SetUp() override {
        probe_ = InstallProbe(dir_.File("probe.dll"), Tree());
        WriteTextFile(dir_.File("Drivers.cfg"), probe_ + "|Probe\n");
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        SetApplicationReady();
        ASSERT_EQ(S_OK, OPCServer::CreateInstance(nullptr, IID_IOPCServer, server_.PutVoid()));
        ASSERT_EQ(S_OK, server_.As(browse_));
        ASSERT_EQ(S_OK, server_.As(props_));
    }
    void TearDown() override {
        browse_.Reset();
        props_.Reset();
        server_.Reset();
        Scanner().StopNow();
        g_drivers.Unload();
    }

    std::vector<std::wstring> Names(OPCBROWSETYPE type, HRESULT* hr = nullptr) {
        return NamesOf(browse_.Get(), type, hr);
    }
    static std::vector<std::wstring> NamesOf(IOPCBrowseServerAddressSpace* browse,
                                             OPCBROWSETYPE type, HRESULT* hr = nullptr) {
        ComPtr<IEnumString> e;
        const HRESULT result = browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Put());
        if (hr) *hr = result;
        return AllStrings(e.Get());
    }
    std::wstring ItemId(const wchar_t* name) {
        LPWSTR id = nullptr;
        EXPECT_EQ(S_OK, browse_->GetItemID(const_cast<wchar_t*>(name), &id));
        std::wstring result = id ? id : L"<null>";
        CoTaskMemFree(id);
        return result;
    }

    ScratchDirectory dir_;
    std::string probe_;
    ComPtr<IOPCServer> server_;
    ComPtr<IOPCBrowseServerAddressSpace> browse_;
    ComPtr<IOPCItemProperties> props_;
};

TEST_F(InProcessServer, NullPointersAndNullNamesAreRefusedWithNothingChanged) {
    EXPECT_EQ(E_POINTER, browse_->QueryOrganization(nullptr));
    EXPECT_EQ(E_POINTER, browse_->BrowseOPCItemIDs(OPC_BRANCH, nullptr, VT_EMPTY, 0, nullptr));
    EXPECT_EQ(E_POINTER, browse_->GetItemID(const_cast<wchar_t*>(L"X"), nullptr));
    EXPECT_EQ(E_POINTER, browse_->BrowseAccessPaths(L"X", nullptr));
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev"));
    EXPECT_EQ(E_INVALIDARG, browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, nullptr));
    EXPECT_EQ(E_FAIL, browse_->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(9), L"X"));
    EXPECT_EQ(L"Probe.Dev.", ItemId(nullptr)) << "a null name is the empty one";
    // A null filter string is no filter, as an empty one.
    EXPECT_EQ((std::vector<std::wstring>{L"Temp", L"Text"}), Names(OPC_LEAF));
    EXPECT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, nullptr));
    EXPECT_EQ(L"X", ItemId(L"X")) << "TO with a null name goes to the root";

    DWORD count = 0, *ids = nullptr, id = 2;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR* itemIds = nullptr;
    LPWSTR item = const_cast<wchar_t*>(L"Probe.Dev.Temp");
    EXPECT_EQ(E_POINTER,
              props_->QueryAvailableProperties(item, nullptr, &ids, &descriptions, &types));
    EXPECT_EQ(E_POINTER,
              props_->QueryAvailableProperties(item, &count, &ids, &descriptions, nullptr));
    EXPECT_EQ(E_POINTER, props_->GetItemProperties(item, 1, &id, nullptr, &errors));
    EXPECT_EQ(E_POINTER, props_->LookupItemIDs(item, 1, &id, &itemIds, nullptr));
    EXPECT_EQ(E_INVALIDARG, props_->GetItemProperties(item, 0, &id, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, props_->GetItemProperties(item, 1, nullptr, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, props_->LookupItemIDs(item, 0, &id, &itemIds, &errors));
    // Counts no array could hold: the array given holds one element only.
    for (DWORD huge : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(E_OUTOFMEMORY, props_->GetItemProperties(item, huge, &id, &values, &errors));
        EXPECT_EQ(E_OUTOFMEMORY, props_->LookupItemIDs(item, huge, &id, &itemIds, &errors));
    }
    EXPECT_EQ(nullptr, values);
    EXPECT_EQ(nullptr, errors);
    EXPECT_EQ(nullptr, itemIds);
    // A null identifier names nothing: the six standard properties, and no values.
    ASSERT_EQ(S_OK, props_->QueryAvailableProperties(nullptr, &count, &ids, &descriptions, &types));
    EXPECT_EQ(6u, count);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, props_->GetItemProperties(nullptr, 1, &id, &values, &errors));
}

// With the probe's "cyclic=1" every branch holds a branch "Back" that is itself: a tree
// without end, which a client walks one level at a time.
TEST_F(InProcessServer, ATreeThatContainsItselfStaysFiniteLevelByLevel) {
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev"));
    for (int level = 0; level < 200; ++level) {
        std::vector<std::wstring> branches = Names(OPC_BRANCH);
        EXPECT_EQ((std::vector<std::wstring>{L"Sub", L"Back"}), branches) << level;
        ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Back"));
    }
    EXPECT_EQ(0u, ItemId(L"").rfind(L"Probe.Dev.Back.Back.", 0));
    // A position cannot grow without end.
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    HRESULT hr = S_OK;
    size_t depth = 0;
    while (depth < 5000 && (hr = browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Back")) == S_OK)
        ++depth;
    EXPECT_EQ(E_INVALIDARG, hr);
    EXPECT_EQ(AddressSpaceBrowser::kMaxDepth, depth);
    std::wstring deep(50000, L'.');
    EXPECT_EQ(E_INVALIDARG, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, deep.c_str()));
    EXPECT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_UP, L"")) << "the old position stays";
}

// Two threads on one server object: each position change is whole, and a listing is always
// one that some position gives.
TEST_F(InProcessServer, TwoThreadsBrowsingOneServerObjectNeverBreakIt) {
    // The root, the driver's top level (which holds "Back" too), a branch, an unknown driver.
    const std::vector<std::vector<std::wstring>> possible{
        {L"Probe"}, {L"Dev", L"Back"}, {L"Sub", L"Back"}, {}};
    std::atomic<int> wrong{0};
    auto browse = [&](const wchar_t* target) {
        for (int i = 0; i < 300; ++i) {
            browse_->ChangeBrowsePosition(OPC_BROWSE_TO, target);
            browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Back");
            browse_->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
            std::vector<std::wstring> names = NamesOf(browse_.Get(), OPC_BRANCH);
            bool known = false;
            for (const auto& p : possible) known |= names == p;
            if (!known) {
                std::wstring text;
                for (const auto& n : names) text += n + L" ";
                ADD_FAILURE() << "a listing no position gives: "
                              << std::string(text.begin(), text.end());
            }
            wrong += !known;
        }
    };
    std::thread a(browse, L"Probe.Dev"), b(browse, L"");
    a.join();
    b.join();
    EXPECT_EQ(0, wrong.load());

    // Another server object has a position of its own.
    ComPtr<IOPCBrowseServerAddressSpace> other;
    ASSERT_EQ(S_OK, OPCServer::CreateInstance(nullptr, IID_IOPCBrowseServerAddressSpace,
                                              other.PutVoid()));
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev"));
    EXPECT_EQ((std::vector<std::wstring>{L"Probe"}), NamesOf(other.Get(), OPC_BRANCH));
    EXPECT_EQ((std::vector<std::wstring>{L"Sub", L"Back"}), Names(OPC_BRANCH));
}

}  // namespace

// Every group has a thread and stays until removed: past the process's limit AddGroup answers
// E_OUTOFMEMORY, and a removed group makes room again.
TEST_F(InProcessServer, GroupsBeyondTheProcessLimitAreRefusedUntilOneIsRemoved) {
    const long room = COPCGroup::kMaxGroups - COPCGroup::LiveGroups();
    OPCHANDLE first = 0, handle = 0;
    DWORD revised = 0;
    HRESULT hr = S_OK;
    long added = 0;
    for (; added <= room; ++added) {
        ComPtr<IUnknown> group;
        hr = server_->AddGroup(std::to_wstring(added).c_str(), FALSE, 1000, 0, nullptr, nullptr,
                               1049, &handle, &revised, IID_IUnknown, group.Put());
        if (FAILED(hr)) break;
        if (added == 0) first = handle;
    }
    EXPECT_EQ(E_OUTOFMEMORY, hr);
    EXPECT_EQ(room, added);
    EXPECT_EQ(S_OK, server_->RemoveGroup(first, FALSE));
    ComPtr<IUnknown> again;
    EXPECT_EQ(S_OK, server_->AddGroup(L"again", FALSE, 1000, 0, nullptr, nullptr, 1049, &handle,
                                      &revised, IID_IUnknown, again.Put()));
}

namespace {

// A driver that does not sort its children from its tags: each list holds both.
class UnsortedDriver : public InProcessServer {
  protected:
    std::string Tree() const override {
        std::string tree =
            "root=Probe\nbranch=Dev\nbranch=Dev.Sub\nmixed=1\ntag=Dev.Three:I4:3\n"
            "tag=Dev.Twenty:I4:20\ntag=Dev.Odd:I4:1\nbranch=Dev.Odd.Folder\n"
            "subtag=Dev.Odd.Real:I4:5\n"
            // A workshop and its temperature, named in the Cyrillic code page.
            "branch=Dev.Sub.\xD6\xE5\xF5\ntag=Dev.Sub.\xD6\xE5\xF5.\xD2\xE5\xEC\xEF:I4:5\n";
        for (int i = 1; i <= 3; ++i) tree += "subtag=Dev.Three.S" + std::to_string(i) + ":I4:0\n";
        for (int i = 1; i <= 20; ++i) tree += "subtag=Dev.Twenty.S" + std::to_string(i) + ":I4:0\n";
        return tree;
    }

    std::vector<DWORD> PropertyIds(const wchar_t* item, std::vector<VARTYPE>* types = nullptr) {
        DWORD count = 0;
        DWORD* ids = nullptr;
        LPWSTR* descriptions = nullptr;
        VARTYPE* vts = nullptr;
        EXPECT_EQ(S_OK, props_->QueryAvailableProperties(const_cast<wchar_t*>(item), &count, &ids,
                                                         &descriptions, &vts));
        std::vector<DWORD> result(ids, ids + count);
        if (types) types->assign(vts, vts + count);
        for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
        CoTaskMemFree(ids);
        CoTaskMemFree(descriptions);
        CoTaskMemFree(vts);
        return result;
    }
};

TEST_F(UnsortedDriver, ATagAmongTheChildrenIsALeafListedOnceAndNeverABranch) {
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev"));
    EXPECT_EQ((std::vector<std::wstring>{L"Sub"}), Names(OPC_BRANCH));
    EXPECT_EQ((std::vector<std::wstring>{L"Three", L"Twenty", L"Odd"}), Names(OPC_LEAF));
}

TEST_F(UnsortedDriver, ChildTagsListInTheTableOrderAndOneThatIsNoTagHasNoValue) {
    // The standard ones, then the child tags from 5000 (which shares its run of sixteen with
    // 4992, and its slot with 100 and 101) newest first, then each further run of sixteen
    // newest first.
    EXPECT_EQ((std::vector<DWORD>{7, 6, 5, 4, 3, 2, 1, 5002, 5001, 5000, 101}),
              PropertyIds(L"Probe.Dev.Three"));
    std::vector<DWORD> twenty{7, 6, 5, 4, 3, 2, 1};
    for (DWORD id = 5007; id >= 5000; --id) twenty.push_back(id);
    twenty.push_back(101);
    for (DWORD id = 5019; id >= 5008; --id) twenty.push_back(id);
    EXPECT_EQ(twenty, PropertyIds(L"Probe.Dev.Twenty"));

    // Odd's list of tags holds its branch Folder (5000) before its tag Real (5001).
    std::vector<VARTYPE> types;
    EXPECT_EQ((std::vector<DWORD>{7, 6, 5, 4, 3, 2, 1, 5001, 5000, 101}),
              PropertyIds(L"Probe.Dev.Odd", &types));
    ASSERT_EQ(10u, types.size());
    EXPECT_EQ(VT_I4, types[7]);
    EXPECT_EQ(VT_EMPTY, types[8]);
    DWORD ids[] = {5000, 5001};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR odd = const_cast<wchar_t*>(L"Probe.Dev.Odd");
    ASSERT_EQ(S_OK, props_->GetItemProperties(odd, 2, ids, &values, &errors));
    EXPECT_EQ(VT_EMPTY, V_VT(&values[0]));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(VT_I4, V_VT(&values[1]));
    EXPECT_EQ(5, V_I4(&values[1]));
    VariantClear(&values[1]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    // The folder cannot be added as an item, so it has no identifier to look up.
    LPWSTR* itemIds = nullptr;
    ASSERT_EQ(S_OK, props_->LookupItemIDs(odd, 2, ids, &itemIds, &errors));
    EXPECT_EQ(nullptr, itemIds[0]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[0]);
    EXPECT_STREQ(L"Probe.Dev.Odd.Real", itemIds[1]);
    EXPECT_EQ(S_OK, errors[1]);
    CoTaskMemFree(itemIds[1]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
}

TEST_F(UnsortedDriver, CyrillicAndVeryLongNamesGoBothWays) {
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev.Sub"));
    EXPECT_EQ((std::vector<std::wstring>{L"Цех"}), Names(OPC_BRANCH));
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Цех"));
    EXPECT_EQ((std::vector<std::wstring>{L"Темп"}), Names(OPC_LEAF));
    EXPECT_EQ(L"Probe.Dev.Sub.Цех.Темп", ItemId(L"Темп"));
    ASSERT_EQ(S_OK, browse_->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev.Sub.Цех"));
    EXPECT_EQ((std::vector<std::wstring>{L"Темп"}), Names(OPC_LEAF));
    DWORD valueId = 2;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, props_->GetItemProperties(const_cast<wchar_t*>(L"Probe.Dev.Sub.Цех.Темп"), 1,
                                              &valueId, &values, &errors));
    EXPECT_EQ(5, V_I4(&values[0]));
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    // An identifier of 10,000 characters names nothing: six standard properties, no values.
    std::wstring longId = L"Probe.Dev." + std::wstring(10000, L'x');
    EXPECT_EQ(6u, PropertyIds(longId.c_str()).size());
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, props_->GetItemProperties(const_cast<wchar_t*>(longId.c_str()),
                                                             1, &valueId, &values, &errors));
    DWORD nameId = 1;
    LPWSTR* itemIds = nullptr;
    ASSERT_EQ(S_OK, props_->LookupItemIDs(const_cast<wchar_t*>(longId.c_str()), 1, &nameId,
                                          &itemIds, &errors));
    EXPECT_EQ(nullptr, itemIds[0]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[0]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
}

// A tag with more child tags than the table has slots for between 5000 and its wrap, and one
// whose child's name is long enough that twenty thousand identifiers weigh 160 MB.
class ManyChildTags : public UnsortedDriver {
  protected:
    static std::string LongName() { return std::string(4000, 'n'); }
    std::string Tree() const override {
        std::string tree = "root=Probe\nbranch=Dev\ntag=Dev.Many:I4:1\ntag=Dev.Long:I4:2\n";
        for (int i = 0; i < 170; ++i) tree += "subtag=Dev.Many.S" + std::to_string(i) + ":I4:0\n";
        return tree + "subtag=Dev.Long." + LongName() + ":I4:3\n";
    }
};

TEST_F(ManyChildTags, TheRunsOfSixteenComeRoundToTheFirstSlotFrom5168) {
    // 5168 and 5169 are in slot 0 with the standard ones, and newer than them.
    std::vector<DWORD> expected{5169, 5168, 7, 6, 5, 4, 3, 2, 1};
    for (DWORD run = 4992; run < 5168; run += 16) {
        for (DWORD id = run + 15; id >= run && id >= 5000; --id) expected.push_back(id);
        if (run == 4992) expected.push_back(101);
    }
    EXPECT_EQ(expected, PropertyIds(L"Probe.Dev.Many"));
    EXPECT_EQ(178u, expected.size());
}

TEST_F(ManyChildTags, LookupAnswersThatWouldWeighTooMuchFailWithOutOfMemory) {
    LPWSTR item = const_cast<wchar_t*>(L"Probe.Dev.Long");
    std::vector<DWORD> child(20000, 5000);
    LPWSTR* itemIds = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, props_->LookupItemIDs(item, 20000, child.data(), &itemIds, &errors));
    EXPECT_EQ(nullptr, itemIds);
    EXPECT_EQ(nullptr, errors);
    ASSERT_EQ(S_OK, props_->LookupItemIDs(item, 100, child.data(), &itemIds, &errors));
    const std::wstring expected = L"Probe.Dev.Long." + std::wstring(4000, L'n');
    for (DWORD i = 0; i < 100; ++i) {
        EXPECT_EQ(S_OK, errors[i]);
        EXPECT_EQ(expected, itemIds[i] ? itemIds[i] : L"<null>");
        CoTaskMemFree(itemIds[i]);
    }
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
}

TEST_F(InProcessServer, ItemIoWithNullPointersAndEmptyCalls) {
    ComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, server_.As(io));
    LPCWSTR id = L"Probe.Dev.Temp";
    DWORD age = 0;
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_POINTER, io->Read(1, &id, &age, &values, nullptr, &times, &errors));
    EXPECT_EQ(E_POINTER, io->Read(1, &id, &age, &values, &qualities, &times, nullptr));
    EXPECT_EQ(E_INVALIDARG, io->Read(0, &id, &age, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG, io->Read(1, nullptr, &age, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG, io->Read(1, &id, nullptr, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, io->Read(COPCGroup::kMaxItemsPerCall + 1, &id, &age, &values,
                                      &qualities, &times, &errors));
    EXPECT_EQ(nullptr, values);
    EXPECT_EQ(nullptr, qualities);
    EXPECT_EQ(nullptr, times);
    EXPECT_EQ(nullptr, errors);
    OPCITEMVQT vqt{};
    EXPECT_EQ(E_POINTER, io->WriteVQT(1, &id, &vqt, nullptr));
    EXPECT_EQ(E_INVALIDARG, io->WriteVQT(0, &id, &vqt, &errors));
    EXPECT_EQ(E_INVALIDARG, io->WriteVQT(1, nullptr, &vqt, &errors));
    EXPECT_EQ(E_INVALIDARG, io->WriteVQT(1, &id, nullptr, &errors));
    EXPECT_EQ(nullptr, errors);
    // A null identifier inside the array is an item's error, not the call's.
    LPCWSTR ids[2] = {nullptr, L"Probe.Dev.Temp"};
    DWORD ages[2] = {0, 0};
    ASSERT_EQ(S_FALSE, io->Read(2, ids, ages, &values, &qualities, &times, &errors));
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_FLOAT_EQ(21.5f, V_R4(&values[1]));
    for (VARIANT* v : {&values[0], &values[1]}) VariantClear(v);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
}

}  // namespace
