// Our OPC server list (opcserverlist.exe) through real COM from this process, against dummy
// servers registered in the test prefix for the suite: plain registry entries, one in the
// 32-bit view only, and some broken ones, as other installers leave them.
#include <windows.h>
#include <comcat.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "child_process.h"
#include "co_task_mem.h"
#include "com_ptr.h"
#include "opc.h"
#include "server_list_identity.h"
#include "server_list.h"

namespace {

// Dummy classes of the suite (GUIDs of their own; nothing else uses them).
constexpr GUID kDa1Only = {
    0x5E0D1A01, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x01}};
constexpr GUID kDa2Only = {
    0x5E0D1A02, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02}};
constexpr GUID kBoth = {
    0x5E0D1A03, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x03}};
constexpr GUID kOnly32 = {
    0x5E0D1A04, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x04}};
constexpr GUID kNeedsOther = {
    0x5E0D1A05, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x05}};
constexpr GUID kBroken = {
    0x5E0D1A06, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x06}};
// A category only kNeedsOther requires, and one nobody implements.
constexpr GUID kOtherCategory = {
    0x5E0D1A10, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x10}};
constexpr GUID kNobodysCategory = {
    0x5E0D1A11, 0x7C2B, 0x4E55, {0x9A, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x11}};

constexpr const wchar_t* kNotAGuidClass = L"CLSID\\NotAGuid.ServerListTest";

std::wstring Text(const GUID& guid) {
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return text;
}

LONG SetString(const std::wstring& key, const wchar_t* name, const std::wstring& data,
               REGSAM view = KEY_WOW64_64KEY) {
    HKEY h;
    LONG r = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE | view,
                             nullptr, &h, nullptr);
    if (r != ERROR_SUCCESS) return r;
    r = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return r;
}

LONG SetNumber(const std::wstring& key, const wchar_t* name, DWORD data) {
    HKEY h;
    LONG r = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0,
                             KEY_WRITE | KEY_WOW64_64KEY, nullptr, &h, nullptr);
    if (r != ERROR_SUCCESS) return r;
    r = RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
    RegCloseKey(h);
    return r;
}

// A key's parent is opened in the view: a view flag does not carry over to a path below a
// root handle.
void DeleteKey(const std::wstring& key, REGSAM view = KEY_WOW64_64KEY) {
    const size_t slash = key.find_last_of(L'\\');
    if (slash == std::wstring::npos) {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        return;
    }
    HKEY parent;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view,
                      &parent) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(parent, key.substr(slash + 1).c_str());
    RegCloseKey(parent);
}

bool KeyExists(const std::wstring& key, REGSAM view = KEY_WOW64_64KEY) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

std::wstring ReadString(const std::wstring& key, const wchar_t* name = nullptr) {
    wchar_t data[512] = L"";
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &bytes) !=
        ERROR_SUCCESS)
        return L"<none>";
    return data;
}

// A dummy server: a class with a ProgID, a description and categories, as a server's
// /RegServer writes them (without a server behind it: nobody activates these).
void RegisterDummy(const GUID& clsid, const std::wstring& progId,
                   const std::vector<GUID>& implemented, const std::vector<GUID>& required = {},
                   REGSAM view = KEY_WOW64_64KEY) {
    const std::wstring key = L"CLSID\\" + Text(clsid);
    SetString(key, nullptr, progId + L" description", view);
    SetString(key + L"\\ProgID", nullptr, progId + L".1", view);
    SetString(key + L"\\VersionIndependentProgID", nullptr, progId, view);
    for (const GUID& c : implemented)
        SetString(key + L"\\Implemented Categories\\" + Text(c), nullptr, L"", view);
    for (const GUID& c : required)
        SetString(key + L"\\Required Categories\\" + Text(c), nullptr, L"", view);
    SetString(progId + L".1\\CLSID", nullptr, Text(clsid), view);
}

void RemoveDummy(const GUID& clsid, const std::wstring& progId, REGSAM view = KEY_WOW64_64KEY) {
    DeleteKey(L"CLSID\\" + Text(clsid), view);
    DeleteKey(progId + L".1", view);
}

// What an enumerator hands out from where it stands (IEnumGUID and IOPCEnumGUID alike).
template <class IEnum>
std::vector<GUID> All(IEnum* e) {
    std::vector<GUID> out;
    GUID g;
    ULONG fetched = 0;
    while (e && e->Next(1, &g, &fetched) == S_OK) out.push_back(g);
    return out;
}

bool Has(const std::vector<GUID>& list, const GUID& g) {
    for (const GUID& x : list)
        if (x == g) return true;
    return false;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Server lists started for this test process end now rather than a grace period after their
// last client: they hold the output of the test run open until they end. The next activation
// then reads the registration afresh.
void StopServerLists() {
    for (DWORD id : ProcessesNamed(L"opcserverlist.exe")) {
        HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!p) continue;
        StopServer(p, id);
        CloseHandle(p);
    }
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

class ServerListTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        RegisterDummy(kDa1Only, L"ServerListTest.Da1Only", {CATID_OPCDAServer10});
        RegisterDummy(kDa2Only, L"ServerListTest.Da2Only", {CATID_OPCDAServer20});
        RegisterDummy(kBoth, L"ServerListTest.Both", {CATID_OPCDAServer10, CATID_OPCDAServer20});
        RegisterDummy(kOnly32, L"ServerListTest.Only32", {CATID_OPCDAServer20}, {},
                      KEY_WOW64_32KEY);
        RegisterDummy(kNeedsOther, L"ServerListTest.NeedsOther", {CATID_OPCDAServer20},
                      {kOtherCategory});
        // Broken entries: a category subkey that is no GUID, a ProgID of the wrong type, a
        // class key that is no GUID, a ProgID that names no GUID.
        RegisterDummy(kBroken, L"ServerListTest.Broken", {CATID_OPCDAServer20});
        const std::wstring broken = L"CLSID\\" + Text(kBroken);
        SetString(broken + L"\\Implemented Categories\\not a category", nullptr, L"");
        SetNumber(broken + L"\\ProgID", nullptr, 42);
        SetNumber(broken, L"", 7);
        SetString(std::wstring(kNotAGuidClass) + L"\\Implemented Categories\\" +
                      Text(CATID_OPCDAServer20),
                  nullptr, L"");
        SetString(L"ServerListTest.NoClass\\CLSID", nullptr, L"{not a clsid}");
    }
    static void TearDownTestSuite() {
        RemoveDummy(kDa1Only, L"ServerListTest.Da1Only");
        RemoveDummy(kDa2Only, L"ServerListTest.Da2Only");
        RemoveDummy(kBoth, L"ServerListTest.Both");
        RemoveDummy(kOnly32, L"ServerListTest.Only32", KEY_WOW64_32KEY);
        RemoveDummy(kNeedsOther, L"ServerListTest.NeedsOther");
        RemoveDummy(kBroken, L"ServerListTest.Broken");
        DeleteKey(kNotAGuidClass);
        DeleteKey(L"ServerListTest.NoClass");
        StopServerLists();
    }
    void SetUp() override {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OpcServerList, nullptr, CLSCTX_LOCAL_SERVER,
                                         IID_IOPCServerList, list_.PutVoid()));
        ASSERT_EQ(S_OK, list_.As(list2_));
    }

    std::vector<GUID> Classes(std::vector<GUID> implemented, std::vector<GUID> required = {}) {
        GUID none = GUID_NULL;
        ComPtr<IEnumGUID> e;
        const HRESULT hr = list_->EnumClassesOfCategories(
            static_cast<ULONG>(implemented.size()),
            implemented.empty() ? &none : implemented.data(), static_cast<ULONG>(required.size()),
            required.empty() ? &none : required.data(), e.Put());
        EXPECT_EQ(S_OK, hr);
        std::vector<GUID> classes = All(e.Get());
        // The second interface answers the same.
        ComPtr<IOPCEnumGUID> e2;
        EXPECT_EQ(S_OK, list2_->EnumClassesOfCategories(
                            static_cast<ULONG>(implemented.size()),
                            implemented.empty() ? &none : implemented.data(),
                            static_cast<ULONG>(required.size()),
                            required.empty() ? &none : required.data(), e2.Put()));
        EXPECT_EQ(classes, All(e2.Get()));
        return classes;
    }

    ComPtr<IOPCServerList> list_;
    ComPtr<IOPCServerList2> list2_;
};

TEST_F(ServerListTest, ListsTheClassesOfTheCategoriesAskedFor) {
    const std::vector<GUID> da1 = Classes({CATID_OPCDAServer10});
    EXPECT_TRUE(Has(da1, kDa1Only));
    EXPECT_TRUE(Has(da1, kBoth));
    EXPECT_FALSE(Has(da1, kDa2Only));
    EXPECT_FALSE(Has(da1, kOnly32));

    const std::vector<GUID> da2 = Classes({CATID_OPCDAServer20});
    EXPECT_FALSE(Has(da2, kDa1Only));
    EXPECT_TRUE(Has(da2, kDa2Only));
    EXPECT_TRUE(Has(da2, kBoth));
    EXPECT_TRUE(Has(da2, kOnly32)) << "a class in the 32-bit view only";
    EXPECT_TRUE(Has(da2, kBroken)) << "a broken sibling entry hides the good one";

    // Any of the implemented categories; each class once.
    const std::vector<GUID> either = Classes({CATID_OPCDAServer10, CATID_OPCDAServer20});
    for (const GUID& c : {kDa1Only, kDa2Only, kBoth, kOnly32}) EXPECT_TRUE(Has(either, c));
    size_t both = 0;
    for (const GUID& c : either) both += c == kBoth;
    EXPECT_EQ(1u, both);
}

TEST_F(ServerListTest, AClassRequiringACategoryIsListedOnlyWhenTheCallerOffersIt) {
    EXPECT_FALSE(Has(Classes({CATID_OPCDAServer20}), kNeedsOther));
    EXPECT_TRUE(Has(Classes({CATID_OPCDAServer20}, {kOtherCategory}), kNeedsOther));
    EXPECT_FALSE(Has(Classes({CATID_OPCDAServer20}, {kNobodysCategory}), kNeedsOther));
}

TEST_F(ServerListTest, UnknownOrNoCategoriesGiveAnEmptyEnumeration) {
    EXPECT_TRUE(Classes({kNobodysCategory}).empty());
    EXPECT_TRUE(Classes({}).empty());
    EXPECT_TRUE(Classes({}, {CATID_OPCDAServer20}).empty());
}

TEST_F(ServerListTest, EnumeratorsStepSkipResetCloneAndOutliveTheList) {
    GUID categories[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
    ComPtr<IOPCEnumGUID> e;
    ASSERT_EQ(S_OK, list2_->EnumClassesOfCategories(2, categories, 0, categories, e.Put()));
    ComPtr<IEnumGUID> old;
    ASSERT_EQ(S_OK, list_->EnumClassesOfCategories(2, categories, 0, categories, old.Put()));
    list_.Reset();
    list2_.Reset();

    const std::vector<GUID> all = All(e.Get());
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all, All(old.Get()));

    GUID batch[64];
    ULONG fetched = 99;
    EXPECT_EQ(S_FALSE, e->Next(1, batch, &fetched)) << "at the end";
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_OK, e->Reset());
    EXPECT_EQ(S_OK, e->Skip(1));
    ComPtr<IOPCEnumGUID> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.Put()));
    EXPECT_EQ(S_OK, e->Next(1, batch, &fetched));
    EXPECT_EQ(all[1], batch[0]);
    // The clone stands where its original stood, and moves on its own.
    EXPECT_EQ(std::vector<GUID>(all.begin() + 1, all.end()), All(clone.Get()));
    EXPECT_EQ(S_FALSE, e->Skip(static_cast<ULONG>(all.size())));
    EXPECT_EQ(S_OK, e->Reset());
    fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(64, batch, &fetched)) << "fewer than asked for";
    EXPECT_EQ(all.size(), fetched);

    EXPECT_EQ(S_OK, old->Reset());
    ComPtr<IEnumGUID> oldClone;
    ASSERT_EQ(S_OK, old->Clone(oldClone.Put()));
    EXPECT_EQ(all, All(oldClone.Get()));
}

TEST_F(ServerListTest, GetClassDetailsAndClsidFromProgId) {
    CoTaskString progId, userType, independent;
    ASSERT_EQ(S_OK,
              list2_->GetClassDetails(kBoth, progId.Put(), userType.Put(), independent.Put()));
    EXPECT_STREQ(L"ServerListTest.Both.1", progId.Get());
    EXPECT_STREQ(L"ServerListTest.Both description", userType.Get());
    EXPECT_STREQ(L"ServerListTest.Both", independent.Get());
    ASSERT_EQ(S_OK, list_->GetClassDetails(kOnly32, progId.Put(), userType.Put()));
    EXPECT_STREQ(L"ServerListTest.Only32.1", progId.Get());

    // Values of the wrong type read as empty.
    ASSERT_EQ(S_OK,
              list2_->GetClassDetails(kBroken, progId.Put(), userType.Put(), independent.Put()));
    EXPECT_STREQ(L"", progId.Get());
    EXPECT_STREQ(L"ServerListTest.Broken", independent.Get());

    const GUID unknown = {0x5E0D1AFF, 0x7C2B, 0x4E55, {0x9A, 0x10, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              list2_->GetClassDetails(unknown, progId.Put(), userType.Put(), independent.Put()));
    EXPECT_EQ(nullptr, progId.Get());
    EXPECT_EQ(nullptr, userType.Get());
    EXPECT_EQ(nullptr, independent.Get());
    EXPECT_EQ(REGDB_E_CLASSNOTREG, list_->GetClassDetails(unknown, progId.Put(), userType.Put()));

    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, list_->CLSIDFromProgID(L"ServerListTest.Da2Only.1", &clsid));
    EXPECT_EQ(kDa2Only, clsid);
    EXPECT_EQ(S_OK, list2_->CLSIDFromProgID(L"ServerListTest.Only32.1", &clsid));
    EXPECT_EQ(kOnly32, clsid);
    EXPECT_EQ(S_OK, list2_->CLSIDFromProgID(L"OPC.ServerList.1", &clsid));
    EXPECT_EQ(CLSID_OpcServerList, clsid);
    for (const wchar_t* unknownName :
         {L"ServerListTest.Nobody", L"", L"ServerListTest.NoClass", L"CLSID\\..\\CLSID"}) {
        clsid = kBoth;
        EXPECT_EQ(REGDB_E_CLASSNOTREG, list2_->CLSIDFromProgID(unknownName, &clsid))
            << Narrow(unknownName);
        EXPECT_EQ(CLSID_NULL, clsid);
    }
}

TEST_F(ServerListTest, NullPointersAreRefusedAndTheListGoesOnAnswering) {
    GUID category = CATID_OPCDAServer20;
    // The proxy refuses these itself or the list does; either way the call fails. (A null
    // interface out-pointer is left out: a proxy that sends the call anyway drops the
    // enumerator it cannot hand over, and without COM pinging under Wine that reference
    // would keep the server list running.)
    ComPtr<IEnumGUID> e;
    EXPECT_TRUE(FAILED(list_->EnumClassesOfCategories(1, nullptr, 0, &category, e.Put())));
    CoTaskString progId, userType;
    EXPECT_TRUE(FAILED(list_->GetClassDetails(kBoth, nullptr, userType.Put())));
    EXPECT_TRUE(FAILED(list2_->GetClassDetails(kBoth, progId.Put(), userType.Put(), nullptr)));
    CLSID clsid;
    EXPECT_TRUE(FAILED(list_->CLSIDFromProgID(nullptr, &clsid)));
    EXPECT_TRUE(FAILED(list_->CLSIDFromProgID(L"ServerListTest.Both.1", nullptr)));
    EXPECT_TRUE(Has(Classes({CATID_OPCDAServer20}), kBoth));
}

// The exact codes, on an object in this process (no proxy in between to refuse first).
TEST(ServerListObject, NullPointersGetTheirCodesAndOutsStayNull) {
    ComPtr<IOPCServerList2> list2;
    ASSERT_EQ(S_OK, OPCServerList::CreateInstance(nullptr, IID_IOPCServerList2, list2.PutVoid()));
    ComPtr<IOPCServerList> list;
    ASSERT_EQ(S_OK, list2.As(list));
    GUID category = CATID_OPCDAServer20;
    EXPECT_EQ(E_POINTER, list->EnumClassesOfCategories(1, &category, 0, nullptr, nullptr));
    ComPtr<IOPCEnumGUID> e;
    EXPECT_EQ(E_INVALIDARG, list2->EnumClassesOfCategories(1, nullptr, 0, nullptr, e.Put()));
    EXPECT_EQ(E_INVALIDARG, list2->EnumClassesOfCategories(1, &category, 3, nullptr, e.Put()));
    EXPECT_FALSE(e);
    LPOLESTR progId = reinterpret_cast<LPOLESTR>(1), userType = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(E_POINTER, list2->GetClassDetails(CLSID_OpcServerList, &progId, &userType, nullptr));
    EXPECT_EQ(nullptr, progId);
    EXPECT_EQ(nullptr, userType);
    EXPECT_EQ(E_POINTER, list->GetClassDetails(CLSID_OpcServerList, nullptr, &userType));
    EXPECT_EQ(nullptr, userType);
    CLSID clsid = CATID_OPCDAServer10;
    EXPECT_EQ(E_INVALIDARG, list->CLSIDFromProgID(nullptr, &clsid));
    EXPECT_EQ(CLSID_NULL, clsid);
    EXPECT_EQ(E_POINTER, list->CLSIDFromProgID(L"OPC.ServerList.1", nullptr));
    // Zero counts with no arrays are a valid, empty question.
    ASSERT_EQ(S_OK, list2->EnumClassesOfCategories(0, nullptr, 0, nullptr, e.Put()));
    GUID g;
    ULONG fetched = 1;
    EXPECT_EQ(S_FALSE, e->Next(1, &g, &fetched));
    EXPECT_EQ(0u, fetched);
}

// opcclient list --server-list asks the server list, and says so.
TEST_F(ServerListTest, OpcClientListAsksTheServerList) {
    const ChildRun table = RunChild(L"opcclient.exe", L"list --server-list");
    EXPECT_EQ(0u, table.exitCode) << table.err;
    EXPECT_TRUE(Has(table.out, "Source: the OPC server list")) << table.out;
    EXPECT_TRUE(Has(table.out, "ServerListTest.Only32.1")) << table.out;
    EXPECT_FALSE(Has(table.out, "ServerListTest.NeedsOther")) << table.out;
    const ChildRun json = RunChild(L"opcclient.exe", L"list --server-list --json");
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_TRUE(Has(json.out, "\"source\": \"server list\"")) << json.out;
    const ChildRun own = RunChild(L"opcclient.exe", L"list");
    EXPECT_TRUE(Has(own.out, "Source: the component categories")) << own.out;
    EXPECT_TRUE(Has(own.out, "ServerListTest.Only32.1")) << own.out;
}

// The standard class is never taken from whoever registered it first.
TEST(ServerListRegistration, AForeignServerListStaysThroughOurRegServerAndUnregServer) {
    const std::wstring classKey = L"CLSID\\" + Text(CLSID_OpcServerList);
    ChildRun run = RunChild(L"opcserverlist.exe", L"/UnregServer");
    ASSERT_EQ(0u, run.exitCode) << run.out;
    ASSERT_FALSE(KeyExists(classKey + L"\\LocalServer32"));
    EXPECT_FALSE(KeyExists(L"OPC.ServerList.1"));

    const std::wstring foreign = L"C:\\Program Files\\Foreign\\OpcEnum.exe";
    SetString(classKey, nullptr, L"Foreign server list");
    SetString(classKey + L"\\LocalServer32", nullptr, foreign);
    SetString(L"OPC.ServerList.1\\CLSID", nullptr, Text(CLSID_OpcServerList));
    run = RunChild(L"opcserverlist.exe", L"/RegServer");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Has(run.out, "another OPC server list")) << run.out;
    EXPECT_EQ(foreign, ReadString(classKey + L"\\LocalServer32"));
    EXPECT_EQ(L"<none>", ReadString(classKey, L"OPCServerVEXA"));
    run = RunChild(L"opcserverlist.exe", L"/UnregServer");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(foreign, ReadString(classKey + L"\\LocalServer32"));
    EXPECT_TRUE(KeyExists(L"OPC.ServerList.1"));

    // Without a server list to answer, opcclient reads the categories itself and says why.
    StopServerLists();
    const ChildRun fallback = RunChild(L"opcclient.exe", L"list --server-list");
    EXPECT_EQ(0u, fallback.exitCode) << fallback.err;
    EXPECT_TRUE(Has(fallback.out, "Source: the component categories")) << fallback.out;
    EXPECT_TRUE(Has(fallback.out, "the OPC server list did not answer")) << fallback.out;

    // A foreign registration in the 32-bit view counts as well.
    DeleteKey(classKey);
    SetString(classKey + L"\\LocalServer32", nullptr, foreign, KEY_WOW64_32KEY);
    run = RunChild(L"opcserverlist.exe", L"/RegServer");
    EXPECT_TRUE(Has(run.out, "another OPC server list")) << run.out;
    EXPECT_FALSE(KeyExists(classKey + L"\\LocalServer32"));
    DeleteKey(classKey, KEY_WOW64_32KEY);
    DeleteKey(L"OPC.ServerList.1");

    // With nobody's registration left, ours goes back in.
    run = RunChild(L"opcserverlist.exe", L"/RegServer");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Has(run.out, "registered as OPC.ServerList.1")) << run.out;
    const std::wstring server = ReadString(classKey + L"\\LocalServer32");
    EXPECT_EQ(server, ReadString(classKey, L"OPCServerVEXA")) << "marked as ours";
    EXPECT_TRUE(KeyExists(L"OPC.ServerList.1"));
    EXPECT_EQ(Text(CLSID_OpcServerList), ReadString(L"OPC.ServerList\\CLSID"));
    EXPECT_EQ(L"OPC.ServerList.1", ReadString(L"OPC.ServerList\\CurVer"));
    StopServerLists();
}

}  // namespace
