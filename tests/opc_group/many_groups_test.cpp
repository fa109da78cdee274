// The server's limit of groups, all active, through a real client: the groups' cycles share
// a few threads of the server, and a subscribed group among them still has its callbacks.
#include <windows.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <algorithm>
#include <string>
#include <vector>

#include "opc_client_fixture.h"
#include "recording_sink.h"
#include "win_handle.h"

namespace {

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

class ManyGroups : public OpcClientTest {};

TEST_F(ManyGroups, TheLimitOfActiveGroupsRunsOnAFewServerThreads) {
    constexpr size_t kGroups = 2000;
    std::vector<AddedGroup> groups;
    groups.reserve(kGroups);
    for (size_t i = 0; i < kGroups; ++i) {
        groups.push_back(AddGroupTo(server_.Get(), std::to_wstring(i).c_str(), 1000));
        ASSERT_EQ(S_OK, groups.back().hr) << "group " << i;
    }
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
    for (AddedGroup& group : groups) {
        group.state.Reset();
        EXPECT_EQ(S_OK, server_->RemoveGroup(group.handle, FALSE));
    }
}

}  // namespace
