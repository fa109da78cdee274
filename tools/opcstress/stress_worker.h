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
    // IOPCShutdown advises on the server object that are still in place, and those undone.
    std::vector<DWORD> shutdownCookies, staleShutdownCookies;
    CLSID clsid{};  // for more server objects, each with its own shutdown point
    std::atomic<unsigned long> calls{0}, refused{0}, transport{0};
    // The call numbers to make (as the watchdog names them); empty: all.
    std::vector<unsigned> only;
    ComPtr<IOPCServer> server;

    // Unadvises the callbacks (the server's and the groups'), removes every group and lets go
    // of it.
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
    // The connection points (connection_calls.cpp): the server's IOPCShutdown point and a
    // group's IOPCDataCallback point, found directly or through their enumerator, with live
    // and made-up cookies, their connection enumerators walked, interleaved with forced
    // removal of the group and with more server objects coming and going.
    void ServerPointCall();
    void GroupPointCall(StressShared::Group& group);
    // The OPC DA 3.0 group calls on the handles of `list` (none when it is null): keep-alive
    // and items' deadbands; reads with a maximum age and VQT writes (da3_calls.cpp).
    void Da3GroupCall(IUnknown* group, DWORD count, OPCHANDLE* list);
    void Da3GroupIoCall(IUnknown* group, DWORD count, OPCHANDLE* list);
    // IOPCBrowse and IOPCItemIO of the server object (da3_calls.cpp).
    void Da3ServerCall();
    DWORD MaxAge();
    // `count` VQTs of any value (kept alive by `held`), some asking for a quality or a
    // timestamp.
    std::vector<OPCITEMVQT> Vqts(DWORD count, std::vector<Variant>& held);
    // Takes the group `handle` names out of the shared list (undoing its callbacks) and says
    // whether it was public; false when no listed group has that handle.
    bool ForgetGroup(DWORD handle, bool& wasPublic);
    // RemoveGroup or, for a public group, RemovePublicGroup (always forced).
    HRESULT RemoveAnyGroup(DWORD handle, bool isPublic, BOOL force);
    // The point of `container` for `iid`, asked for by its IID or taken from the container's
    // point enumerator after a walk; null when there is none. `onGroup`: counted as a group
    // call (a group removed with force refuses in transport).
    ComPtr<IConnectionPoint> FindPoint(IConnectionPointContainer* container, REFIID iid,
                                       bool onGroup);
    // EnumConnections, walked, cloned, and skipped right after a Next.
    void WalkConnections(IConnectionPoint* point, bool onGroup);
    HRESULT CountOn(bool onGroup, HRESULT hr) { return onGroup ? CountOnGroup(hr) : Count(hr); }

    ComPtr<IOPCServer> server_;
    StressShared& shared_;
    RandomInput in_;
    VARIANT byref_;
    unsigned long made_ = 0;  // calls of this worker's current run
};

// Walks the address space (a few levels) for item identifiers.
std::vector<std::wstring> DiscoverItemIds(IOPCServer* server, size_t most);
