// Group state through a real client connection: SetState and its defaults, names, clones,
// the move to the public list, groups that outlive their server, and many client threads
// changing groups at once.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "opc_client_fixture.h"

namespace {

class GroupStateTest : public OpcClientTest {
  protected:
    static BOOL IsPublic(IOPCGroupStateMgt* group) {
        ComPtr<IOPCPublicGroupStateMgt> pub;
        BOOL flag = 2;
        if (SUCCEEDED(group->QueryInterface(IID_IOPCPublicGroupStateMgt, pub.PutVoid())))
            pub->GetState(&flag);
        return flag;
    }
};

LONG MachineBias() {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    return zone.Bias;
}

TEST_F(GroupStateTest, AddGroupGivesDefaultsForWhatTheClientLeftOut) {
    AddedGroup g = AddGroupTo(server_.Get(), L"Defaults", 1000, FALSE);
    ASSERT_EQ(S_OK, g.hr);
    const GroupState s = StateOf(g.state.Get());
    EXPECT_EQ(1000u, s.rate);
    EXPECT_FALSE(s.active);
    EXPECT_FLOAT_EQ(0.1f, s.deadband);
    EXPECT_EQ(MachineBias(), s.bias);
    EXPECT_EQ(1049u, s.lcid);
    EXPECT_EQ(77u, s.client);
    EXPECT_EQ(g.handle, s.server);
    EXPECT_EQ(L"Defaults", s.name);
}

TEST_F(GroupStateTest, SetStateAppliesTheMinimumRate) {
    AddedGroup g = AddGroupTo(server_.Get(), L"Rates");
    ASSERT_EQ(S_OK, g.hr);
    DWORD rate = 100, revised = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE,
              g.state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(250u, revised);
    rate = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE,
              g.state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(250u, revised);
    rate = 1000;
    EXPECT_EQ(S_OK,
              g.state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1000u, revised);
    EXPECT_EQ(1000u, StateOf(g.state.Get()).rate);
}

// A client that changes one value must not lose the others: unchanged for every null pointer.
TEST_F(GroupStateTest, SetStateLeavesWhatTheClientPassesAsNullUnchanged) {
    LONG bias = -180;
    FLOAT deadband = 5.0f;
    AddedGroup g = AddGroupTo(server_.Get(), L"Quiet", 1000, FALSE, &bias, &deadband);
    ASSERT_EQ(S_OK, g.hr);
    DWORD rate = 2000, revised = 0;
    EXPECT_EQ(S_OK,
              g.state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    GroupState s = StateOf(g.state.Get());
    EXPECT_EQ(2000u, s.rate);
    EXPECT_FALSE(s.active) << "an inactive group stays inactive";
    EXPECT_FLOAT_EQ(5.0f, s.deadband);
    EXPECT_EQ(-180, s.bias);
    EXPECT_EQ(77u, s.client);

    BOOL active = TRUE;
    DWORD lcid = 1033;
    OPCHANDLE client = 9;
    EXPECT_EQ(S_OK,
              g.state->SetState(nullptr, &revised, &active, nullptr, nullptr, &lcid, &client));
    s = StateOf(g.state.Get());
    EXPECT_EQ(2000u, revised);
    EXPECT_TRUE(s.active);
    EXPECT_EQ(1049u, s.lcid) << "the locale is not changed";
    EXPECT_EQ(9u, s.client);
}

TEST_F(GroupStateTest, SetNameRefusesAnyNameInUseIncludingItsOwn) {
    AddedGroup a = AddGroupTo(server_.Get(), L"A");
    AddedGroup b = AddGroupTo(server_.Get(), L"B");
    ASSERT_EQ(S_OK, a.hr);
    ASSERT_EQ(S_OK, b.hr);
    EXPECT_EQ(OPC_E_DUPLICATENAME, a.state->SetName(L"A"));
    EXPECT_EQ(OPC_E_DUPLICATENAME, a.state->SetName(L"B"));
    EXPECT_EQ(S_OK, a.state->SetName(L"C"));
    EXPECT_EQ(L"C", StateOf(a.state.Get()).name);
    ComPtr<IUnknown> found;
    EXPECT_EQ(S_OK, server_->GetGroupByName(L"C", IID_IOPCGroupStateMgt, found.Put()));
    EXPECT_EQ(E_FAIL, server_->GetGroupByName(L"A", IID_IUnknown, found.Put()));
}

TEST_F(GroupStateTest, CloneGroupCopiesTheStateIntoANewPrivateGroup) {
    LONG bias = 60;
    FLOAT deadband = 2.5f;
    AddedGroup g = AddGroupTo(server_.Get(), L"Original", 500, TRUE, &bias, &deadband);
    ASSERT_EQ(S_OK, g.hr);
    ComPtr<IOPCGroupStateMgt> clone;
    EXPECT_EQ(OPC_E_DUPLICATENAME, g.state->CloneGroup(L"Original", IID_IOPCGroupStateMgt,
                                                       reinterpret_cast<IUnknown**>(clone.Put())));
    ASSERT_EQ(S_OK, g.state->CloneGroup(L"Copy", IID_IOPCGroupStateMgt,
                                        reinterpret_cast<IUnknown**>(clone.Put())));
    const GroupState o = StateOf(g.state.Get()), c = StateOf(clone.Get());
    EXPECT_EQ(L"Copy", c.name);
    EXPECT_EQ(o.rate, c.rate);
    EXPECT_EQ(o.active, c.active);
    EXPECT_FLOAT_EQ(o.deadband, c.deadband);
    EXPECT_EQ(o.bias, c.bias);
    EXPECT_EQ(o.client, c.client);
    EXPECT_NE(o.server, c.server);
    EXPECT_FALSE(IsPublic(clone.Get()));
}

TEST_F(GroupStateTest, MoveToPublicChangesTheHandleAndTheFlag) {
    AddedGroup g = AddGroupTo(server_.Get(), L"Public");
    ASSERT_EQ(S_OK, g.hr);
    EXPECT_FALSE(IsPublic(g.state.Get()));
    ASSERT_EQ(S_OK, MoveToPublic(g.state.Get()));
    EXPECT_TRUE(IsPublic(g.state.Get()));
    EXPECT_NE(g.handle, StateOf(g.state.Get()).server);
    EXPECT_EQ(OPC_E_DUPLICATENAME, MoveToPublic(g.state.Get())) << "its own name is taken now";

    ComPtr<IOPCServer> other = Another<IOPCServer>();
    AddedGroup same = AddGroupTo(other.Get(), L"Public");
    ASSERT_EQ(S_OK, same.hr);
    EXPECT_EQ(OPC_E_DUPLICATENAME, MoveToPublic(same.state.Get()));
    EXPECT_FALSE(IsPublic(same.state.Get()));

    // A group no longer in its server's list moves nowhere.
    AddedGroup removed = AddGroupTo(server_.Get(), L"Removed");
    server_->RemoveGroup(removed.handle, FALSE);
    EXPECT_EQ(S_OK, MoveToPublic(removed.state.Get()));
    EXPECT_FALSE(IsPublic(removed.state.Get()));
}

TEST_F(GroupStateTest, AGroupThatOutlivesItsServerNeverReachesIt) {
    AddedGroup g = AddGroupTo(server_.Get(), L"Orphan");
    ASSERT_EQ(S_OK, g.hr);
    ComPtr<IOPCServer> keeper = Another<IOPCServer>();  // keeps the process up
    server_.Reset();
    Sleep(200);
    const GroupState s = StateOf(g.state.Get());
    EXPECT_EQ(S_OK, s.hr) << "the group itself works";
    EXPECT_EQ(L"Orphan", s.name);
    EXPECT_EQ(E_FAIL, g.state->SetName(L"New"));
    ComPtr<IUnknown> clone;
    EXPECT_EQ(E_FAIL, g.state->CloneGroup(L"Clone", IID_IUnknown, clone.Put()));
    EXPECT_EQ(E_FAIL, MoveToPublic(g.state.Get()));
    DWORD rate = 2000, revised = 0;
    EXPECT_EQ(S_OK,
              g.state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr));
    g.state.Reset();
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, keeper->GetStatus(&status)) << "the process is unharmed";
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(GroupStateTest, ReadersNeverSeeAHalfRenamedGroup) {
    AddedGroup g = AddGroupTo(server_.Get(), L"Name-0");
    ASSERT_EQ(S_OK, g.hr);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        while (!done) {
            const std::wstring name = StateOf(g.state.Get()).name;
            if (name.rfind(L"Name-", 0) != 0) ++bad;
        }
        CoUninitialize();
    });
    for (int i = 1; i <= 300; ++i)
        ASSERT_EQ(S_OK, g.state->SetName((L"Name-" + std::to_wstring(i)).c_str()));
    done = true;
    reader.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(L"Name-300", StateOf(g.state.Get()).name);
}

// Several clients add, rename, move and remove groups on one server and on the public list
// at once; the lists stay consistent and the process ends by itself afterwards.
TEST_F(GroupStateTest, ConcurrentClientsLeaveConsistentLists) {
    constexpr int kThreads = 4, kRounds = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ComPtr<IOPCServerPublicGroups> pub;
            server_.As(pub);
            for (int r = 0; r < kRounds; ++r) {
                const std::wstring name = L"T" + std::to_wstring(t) + L"-" + std::to_wstring(r);
                AddedGroup g = AddGroupTo(server_.Get(), name.c_str());
                if (g.hr != S_OK) {
                    ++failures;
                    continue;
                }
                // Everybody also fights over one shared name.
                g.state->SetName(L"Contested");
                g.state->SetName((name + L"-renamed").c_str());
                if (r % 3 == 0 && MoveToPublic(g.state.Get()) == S_OK) {
                    const OPCHANDLE h = StateOf(g.state.Get()).server;
                    g.state.Reset();
                    if (r % 2 == 0 && FAILED(pub->RemovePublicGroup(h, FALSE))) ++failures;
                } else if (r % 3 == 1) {
                    if (server_->RemoveGroup(g.handle, TRUE) != S_OK) ++failures;
                } else {
                    g.state.Reset();
                    if (server_->RemoveGroup(g.handle, FALSE) != S_OK) ++failures;
                }
            }
            CoUninitialize();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());

    // Left: public groups of rounds 3, 9, 15, 21 of each thread; one "Contested" at most.
    const std::vector<std::wstring> names = GroupNames(server_.Get(), OPC_ENUM_ALL);
    EXPECT_EQ(static_cast<size_t>(kThreads * 4), names.size());
    EXPECT_EQ(names.size(), std::set<std::wstring>(names.begin(), names.end()).size())
        << "no name twice";
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server_->GetStatus(&status));
    EXPECT_EQ(names.size(), status->dwGroupCount);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    TearDown();  // the public groups go
    server_.Reset();
    EXPECT_NE(0u, install_->WaitForNoServer(30000)) << "the process ends by itself";
}

}  // namespace
