// Tests that talk to the real server as an OPC client does: one installation registered per
// test suite, a server object per test, created in the local server process through our
// proxies.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "enum_strings.h"
#include "opc.h"
#include "server_installation.h"

struct AddedGroup {
    HRESULT hr = E_FAIL;
    OPCHANDLE handle = 0;
    DWORD revisedRate = 0;
    ComPtr<IOPCGroupStateMgt> state;
};

inline AddedGroup AddGroupTo(IOPCServer* server, const wchar_t* name, DWORD rate = 1000,
                             BOOL active = TRUE, LONG* bias = nullptr, FLOAT* deadband = nullptr) {
    AddedGroup g;
    IUnknown* unk = nullptr;
    g.hr = server->AddGroup(name, active, rate, 77, bias, deadband, 1049, &g.handle, &g.revisedRate,
                            IID_IOPCGroupStateMgt, &unk);
    g.state = ComPtr<IOPCGroupStateMgt>::Attach(static_cast<IOPCGroupStateMgt*>(unk));
    return g;
}

// Items added in one call: the call's result, and per item its result and error.
struct Added {
    HRESULT hr = E_FAIL;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
    OPCHANDLE operator[](size_t i) const { return results[i].hServer; }
};

inline std::vector<OPCITEMDEF> Definitions(const std::vector<std::wstring>& ids,
                                           OPCHANDLE firstClient, VARTYPE requested = VT_EMPTY) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = firstClient + static_cast<OPCHANDLE>(i);
        defs[i].vtRequestedDataType = requested;
    }
    return defs;
}

inline Added AddItems(IOPCItemMgt* items, const std::vector<std::wstring>& ids,
                      OPCHANDLE firstClient = 1, VARTYPE requested = VT_EMPTY) {
    std::vector<OPCITEMDEF> defs = Definitions(ids, firstClient, requested);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    Added a;
    a.hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    if (SUCCEEDED(a.hr)) {
        a.results.assign(results, results + defs.size());
        a.errors.assign(errors, errors + defs.size());
        for (auto& r : a.results) CoTaskMemFree(r.pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return a;
}

struct GroupState {
    DWORD rate = 0;
    BOOL active = FALSE;
    std::wstring name;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE client = 0, server = 0;
    HRESULT hr = E_FAIL;
};

inline GroupState StateOf(IOPCGroupStateMgt* group) {
    GroupState s;
    LPWSTR name = nullptr;
    s.hr = group->GetState(&s.rate, &s.active, &name, &s.bias, &s.deadband, &s.lcid, &s.client,
                           &s.server);
    if (name) s.name = name;
    CoTaskMemFree(name);
    return s;
}

inline HRESULT MoveToPublic(IOPCGroupStateMgt* group) {
    ComPtr<IOPCPublicGroupStateMgt> pub;
    HRESULT hr = group->QueryInterface(IID_IOPCPublicGroupStateMgt, pub.PutVoid());
    return FAILED(hr) ? hr : pub->MoveToPublic();
}

// The names a group enumerator of `scope` lists, in its order.
inline std::vector<std::wstring> GroupNames(IOPCServer* server, OPCENUMSCOPE scope) {
    ComPtr<IEnumString> e;
    EXPECT_EQ(S_OK, server->CreateGroupEnumerator(scope, IID_IEnumString,
                                                  reinterpret_cast<IUnknown**>(e.Put())));
    return AllStrings(e.Get());
}

// The groups a group enumerator of `scope` lists, in its order.
inline std::vector<ComPtr<IOPCGroupStateMgt>> GroupsOf(IOPCServer* server, OPCENUMSCOPE scope) {
    std::vector<ComPtr<IOPCGroupStateMgt>> groups;
    ComPtr<IEnumUnknown> e;
    EXPECT_EQ(S_OK, server->CreateGroupEnumerator(scope, IID_IEnumUnknown,
                                                  reinterpret_cast<IUnknown**>(e.Put())));
    if (!e) return groups;
    IUnknown* unk = nullptr;
    ULONG n = 0;
    while (e->Next(1, &unk, &n) == S_OK) {
        ComPtr<IUnknown> held = ComPtr<IUnknown>::Attach(unk);
        ComPtr<IOPCGroupStateMgt> state;
        EXPECT_EQ(S_OK, held.As(state));
        groups.push_back(state);
    }
    return groups;
}

// Public groups outlive the server objects of a test: each test removes what it made public.
inline void RemovePublicGroups(IOPCServer* server) {
    ComPtr<IOPCServerPublicGroups> pub;
    if (!server || FAILED(server->QueryInterface(IID_IOPCServerPublicGroups, pub.PutVoid())))
        return;
    for (const ComPtr<IOPCGroupStateMgt>& g : GroupsOf(server, OPC_ENUM_PUBLIC))
        pub->RemovePublicGroup(StateOf(g.Get()).server, TRUE);
}

// One installation of the server, registered for the whole test suite.
class RegisteredServerTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { Install(); }
    // The installation of a suite: the probe with `tree`, the server and the probe from
    // `build` (see ServerInstallation).
    static void Install(const std::string& tree = ServerInstallation::kProbeTree,
                        const std::string& build = "") {
        install_ = new ServerInstallation(tree, build);
        registered_ = install_->Run("/RegServer");
    }
    static void TearDownTestSuite() {
        // Servers started by COM (for this process or a program it ran) are this suite's.
        for (DWORD id : ServerProcesses()) install_->started_.insert(id);
        delete install_;
        install_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(registered_); }

    inline static ServerInstallation* install_ = nullptr;
    inline static bool registered_ = false;
};

// ... and a server object of its own for every test.
class OpcClientTest : public RegisteredServerTest {
  protected:
    void SetUp() override {
        RegisteredServerTest::SetUp();
        if (HasFatalFailure()) return;
        server_ = install_->ConnectAs<IOPCServer>();
        ASSERT_TRUE(server_);
    }
    void TearDown() override { RemovePublicGroups(server_.Get()); }
    template <class I>
    ComPtr<I> Another() {
        return install_->ConnectAs<I>();
    }

    ComPtr<IOPCServer> server_;
};
