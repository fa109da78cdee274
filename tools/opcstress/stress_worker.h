// One thread of the stress client: random calls on the server object and on groups that the
// threads share, so that one thread removes what another is using.
#pragma once

#include <windows.h>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "opc.h"
#include "random_input.h"

// What the threads share: the groups they made, what has been removed, and the counts.
struct StressShared {
    struct Group {
        ComPtr<IUnknown> object;
        OPCHANDLE server = 0;
        std::vector<OPCHANDLE> items, staleItems;
        std::vector<DWORD> dataCookies;  // IOPCDataCallback advises, undone at the end
        bool isPublic = false;
    };

    std::mutex lock;
    std::vector<Group> groups;
    std::vector<DWORD> staleGroups;
    std::vector<std::wstring> itemIds;  // identifiers the server knows, found by browsing
    std::atomic<unsigned long> calls{0}, refused{0}, transport{0};
    // The call numbers to make (as the watchdog names them); empty: all.
    std::vector<unsigned> only;
    ComPtr<IOPCServer> server;

    // Unadvises the callbacks, removes every group and lets go of it.
    void ReleaseAll();
};

class StressWorker {
  public:
    StressWorker(const ComPtr<IOPCServer>& server, StressShared& shared, unsigned seed);
    void Run(unsigned long calls);
    // The call in flight: 100 + the server call's number, 200 + the group call's; 0 between.
    std::atomic<unsigned> current_{0};

  private:
    void Step();
    // Counts the call and its outcome.
    HRESULT Count(HRESULT hr);
    HRESULT CountOnGroup(HRESULT hr);
    bool PickGroup(StressShared::Group& out);
    void ServerCall(unsigned what);
    void GroupCall(unsigned what, StressShared::Group& group);

    ComPtr<IOPCServer> server_;
    StressShared& shared_;
    RandomInput in_;
    VARIANT byref_;
    unsigned long made_ = 0;  // calls of this worker's current run
};

// Walks the address space (a few levels) for item identifiers.
std::vector<std::wstring> DiscoverItemIds(IOPCServer* server, size_t most);
