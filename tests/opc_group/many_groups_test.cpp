// The server's limit of groups, all active, through a real client: the groups' cycles share
// a few threads of the server, and a subscribed group among them still has its callbacks.
#include <windows.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "opc_client_fixture.h"
#include "recording_sink.h"
#include "win_handle.h"

namespace {

// The server's limit of groups in a 64-bit process.
constexpr size_t kManyGroups = 2000;

// The threads of the server processes COM started for this test program, the most of any.
size_t ServerThreads() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    size_t most = 0;
    for (DWORD id : ServerProcesses()) {
        size_t threads = 0;
        THREADENTRY32 entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL ok = Thread32First(snapshot.Get(), &entry); ok;
             ok = Thread32Next(snapshot.Get(), &entry))
            threads += entry.th32OwnerProcessID == id;
        most = std::max(most, threads);
    }
    return most;
}

class ManyGroups : public OpcClientTest {
  protected:
    // `call(i)` for every group, on four threads of the multithreaded apartment.
    template <class Call>
    static void RoundRobin(Call&& call) {
        constexpr size_t kThreads = 4;
        std::vector<std::thread> threads;
        for (size_t t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                for (size_t i = t; i < kManyGroups; i += kThreads) call(i);
                CoUninitialize();
            });
        for (std::thread& thread : threads) thread.join();
    }
};

TEST_F(ManyGroups, TheLimitOfActiveGroupsRunsOnAFewServerThreads) {
    constexpr size_t kGroups = kManyGroups;
    std::vector<AddedGroup> groups(kGroups);
    // Four callers at once, each every fourth group: one after the other takes half a minute.
    RoundRobin(
        [&](size_t i) { groups[i] = AddGroupTo(server_.Get(), std::to_wstring(i).c_str(), 1000); });
    for (size_t i = 0; i < kGroups; ++i) ASSERT_EQ(S_OK, groups[i].hr) << "group " << i;
    // The last one with an item and a subscriber.
    {
        ComPtr<IOPCItemMgt> items;
        ASSERT_EQ(S_OK, groups.back().state.As(items));
        ASSERT_EQ(S_OK, AddItems(items.Get(), {L"Probe.Dev.Temp"}).hr);
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, groups.back().state.As(container));
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
        ComPtr<RecordingSink> sink = RecordingSink::Make();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie));
        EXPECT_TRUE(sink->WaitFor(DataCall::kDataChange, 3, 15000));

        // A thread per group would be over 2,000; RPC threads, drivers and the pool are far
        // fewer.
        const size_t threads = ServerThreads();
        EXPECT_GT(threads, 0u);
        EXPECT_LT(threads, 200u);
        point->Unadvise(cookie);
    }
    std::vector<HRESULT> removed(kGroups, E_FAIL);
    RoundRobin([&](size_t i) {
        groups[i].state.Reset();
        removed[i] = server_->RemoveGroup(groups[i].handle, FALSE);
    });
    for (size_t i = 0; i < kGroups; ++i) EXPECT_EQ(S_OK, removed[i]) << "group " << i;
}

}  // namespace
