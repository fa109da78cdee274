#include "stress_worker.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "client_objects.h"
#include "rpc_failure.h"

namespace {

// The failures that mean the server did not handle a call: it died, cut the connection, or
// an exception escaped it.
bool IsTransportFailure(HRESULT hr) {
    return IsPeerGone(hr) || hr == RPC_E_SERVERFAULT;
}

void FreeStrings(LPWSTR* strings, DWORD count) {
    if (!strings) return;
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(strings[i]);
    CoTaskMemFree(strings);
}

}  // namespace

void StressShared::ReleaseAll() {
    std::vector<Group> all;
    {
        std::lock_guard<std::mutex> guard(lock);
        all.swap(groups);
    }
    ComPtr<IOPCServerPublicGroups> publicGroups;
    if (server) server.As(publicGroups);
    for (Group& g : all) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        if (SUCCEEDED(g.object.As(container)) &&
            SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put())))
            for (DWORD cookie : g.dataCookies) point->Unadvise(cookie);
        if (g.isPublic && publicGroups)
            publicGroups->RemovePublicGroup(g.server, TRUE);
        else if (!g.isPublic && server)
            server->RemoveGroup(g.server, TRUE);
    }
    all.clear();
    std::vector<DWORD> cookies;
    {
        std::lock_guard<std::mutex> guard(lock);
        cookies.swap(shutdownCookies);
    }
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (server && SUCCEEDED(server.As(container)) &&
        SUCCEEDED(container->FindConnectionPoint(IID_IOPCShutdown, point.Put())))
        for (DWORD cookie : cookies) point->Unadvise(cookie);
}

std::vector<std::wstring> DiscoverItemIds(IOPCServer* server, size_t most) {
    std::vector<std::wstring> ids;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (FAILED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.PutVoid())))
        return ids;
    std::vector<std::wstring> pending{L""};
    while (!pending.empty() && ids.size() < most) {
        const std::wstring at = pending.back();
        pending.pop_back();
        if (FAILED(browse->ChangeBrowsePosition(OPC_BROWSE_TO, at.c_str()))) continue;
        for (OPCBROWSETYPE type : {OPC_LEAF, OPC_BRANCH}) {
            ComPtr<IEnumString> names;
            if (browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, names.Put()) != S_OK) continue;
            LPWSTR name = nullptr;
            ULONG got = 0;
            while (names->Next(1, &name, &got) == S_OK) {
                LPWSTR id = nullptr;
                if (SUCCEEDED(browse->GetItemID(name, &id)) && id) {
                    if (type == OPC_LEAF)
                        ids.push_back(id);
                    else if (std::count(at.begin(), at.end(), L'.') < 4)
                        pending.push_back(id);
                    CoTaskMemFree(id);
                }
                CoTaskMemFree(name);
            }
        }
    }
    return ids;
}

StressWorker::StressWorker(const ComPtr<IOPCServer>& server, StressShared& shared, unsigned seed)
    : server_(server), shared_(shared), in_(seed) {
    VariantInit(&byref_);
}

HRESULT StressWorker::CountOnGroup(HRESULT hr) {
    // A group removed with force is cut from its clients: calls on it then fail so.
    if (hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED) {
        ++made_;
        ++shared_.calls;
        ++shared_.refused;
        return hr;
    }
    return Count(hr);
}

HRESULT StressWorker::Count(HRESULT hr) {
    ++made_;
    ++shared_.calls;
    if (FAILED(hr)) ++shared_.refused;
    if (IsTransportFailure(hr)) {
        ++shared_.transport;
        fwprintf(stderr, L"opcstress: a call failed in transport: 0x%08lX\n", hr);
    }
    return hr;
}

void StressWorker::Run(unsigned long calls) {
    made_ = 0;
    while (made_ < calls && shared_.transport.load() == 0) Step();
}

bool StressWorker::PickGroup(StressShared::Group& out) {
    std::lock_guard<std::mutex> guard(shared_.lock);
    if (shared_.groups.empty()) return false;
    out = shared_.groups[in_.Below(static_cast<unsigned>(shared_.groups.size()))];
    return true;
}

bool StressWorker::ForgetGroup(DWORD handle, bool& wasPublic) {
    StressShared::Group taken;
    {
        std::lock_guard<std::mutex> guard(shared_.lock);
        auto it = std::find_if(shared_.groups.begin(), shared_.groups.end(),
                               [&](const auto& g) { return g.server == handle; });
        if (it == shared_.groups.end()) return false;
        shared_.staleGroups.push_back(handle);
        wasPublic = it->isPublic;
        taken = std::move(*it);
        shared_.groups.erase(it);
    }
    // Its callbacks are undone with it, outside the lock (these are calls to the server).
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(taken.object.As(container)) &&
        SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put())))
        for (DWORD c : taken.dataCookies) point->Unadvise(c);
    return true;
}

HRESULT StressWorker::RemoveAnyGroup(DWORD handle, bool isPublic, BOOL force) {
    if (!isPublic) return Count(server_->RemoveGroup(handle, force));
    ComPtr<IOPCServerPublicGroups> pub;
    if (FAILED(server_.As(pub))) return E_NOINTERFACE;
    return Count(pub->RemovePublicGroup(handle, TRUE));
}

void StressWorker::Step() {
    StressShared::Group group;
    bool onServer;
    unsigned what;
    for (unsigned tries = 0;; ++tries) {
        group = StressShared::Group();
        onServer = in_.Chance(45) || !PickGroup(group);
        what = onServer ? in_.Below(17) : in_.Below(20);
        const unsigned call = (onServer ? 100 : 200) + what;
        // Adding groups is always allowed: the group calls need them.
        if (shared_.only.empty() || call <= 101 || tries > 1000 ||
            std::find(shared_.only.begin(), shared_.only.end(), call) != shared_.only.end())
            break;
    }
    current_ = (onServer ? 100 : 200) + what;
    if (onServer)
        ServerCall(what);
    else
        GroupCall(what, group);
    current_ = 0;
}

void StressWorker::ServerCall(unsigned what) {
    switch (what) {
        case 0:
        case 1: {  // AddGroup
            const std::wstring name = in_.Text();
            LONG bias = static_cast<LONG>(in_.Any32());
            FLOAT deadband = in_.Chance(50) ? 10.0f : -5.0f;
            OPCHANDLE handle = 0;
            DWORD revised = 0;
            ComPtr<IUnknown> object;
            const GUID iid = in_.Iid({IID_IOPCItemMgt, IID_IUnknown, IID_IOPCGroupStateMgt});
            HRESULT hr = Count(server_->AddGroup(
                name.c_str(), in_.Chance(70), in_.Below(3000), in_.Any32(),
                in_.Chance(50) ? &bias : nullptr, in_.Chance(50) ? &deadband : nullptr,
                in_.Chance(80) ? 1049 : in_.Any32(), &handle, &revised, iid, object.Put()));
            if (SUCCEEDED(hr) && object) {
                bool kept = false;
                {
                    std::lock_guard<std::mutex> guard(shared_.lock);
                    if (shared_.groups.size() < 40) {
                        StressShared::Group g;
                        g.object = object;
                        g.server = handle;
                        shared_.groups.push_back(g);
                        kept = true;
                    }
                }
                // A group not kept is removed, as a client does: the server keeps a group its
                // client only lets go of, and the run would measure those groups, not leaks.
                if (!kept) Count(server_->RemoveGroup(handle, in_.Chance(50)));
            }
            break;
        }
        case 2: {  // RemoveGroup, forced or not, of any handle
            DWORD handle;
            bool removedPublic = false;  // a public group let go of is removed from its list
            {
                std::lock_guard<std::mutex> guard(shared_.lock);
                std::vector<DWORD> known;
                for (const auto& g : shared_.groups) known.push_back(g.server);
                handle = in_.Handle(known, shared_.staleGroups);
            }
            if (in_.Chance(50)) ForgetGroup(handle, removedPublic);
            RemoveAnyGroup(handle, removedPublic, in_.Chance(50));
            break;
        }
        case 3: {  // GetGroupByName
            ComPtr<IUnknown> found;
            const std::wstring name = in_.Text();
            Count(server_->GetGroupByName(name.c_str(), in_.Iid(ServerIids()), found.Put()));
            break;
        }
        case 4: {  // group enumerators of every scope
            ComPtr<IUnknown> e;
            const bool strings = in_.Chance(50);
            HRESULT hr = Count(server_->CreateGroupEnumerator(
                static_cast<OPCENUMSCOPE>(in_.Below(8)),
                strings ? IID_IEnumString : (in_.Chance(90) ? IID_IEnumUnknown : in_.Iid({})),
                e.Put()));
            if (hr == S_OK && e) {
                if (strings) {
                    ComPtr<IEnumString> es;
                    if (SUCCEEDED(e.As(es)))
                        Walk<IEnumString, LPOLESTR>(es.Get(), in_,
                                                    [](LPOLESTR s) { CoTaskMemFree(s); });
                } else {
                    ComPtr<IEnumUnknown> eu;
                    if (SUCCEEDED(e.As(eu)))
                        Walk<IEnumUnknown, IUnknown*>(eu.Get(), in_, [](IUnknown* u) {
                            if (u) u->Release();
                        });
                }
            }
            break;
        }
        case 5: {  // status, error texts, locales, client name
            OPCSERVERSTATUS* status = nullptr;
            if (SUCCEEDED(Count(server_->GetStatus(&status))) && status) {
                CoTaskMemFree(status->szVendorInfo);
                CoTaskMemFree(status);
            }
            LPWSTR text = nullptr;
            Count(server_->GetErrorString(static_cast<HRESULT>(in_.Any32()), in_.Any32(), &text));
            CoTaskMemFree(text);
            ComPtr<IOPCCommon> common;
            if (SUCCEEDED(server_.As(common))) {
                Count(common->SetLocaleID(in_.Chance(50) ? 1049 : in_.Any32()));
                LCID* lcids = nullptr;
                DWORD count = 0;
                Count(common->QueryAvailableLocaleIDs(&count, &lcids));
                CoTaskMemFree(lcids);
                const std::wstring name = in_.Text();
                Count(common->SetClientName(name.c_str()));
            }
            break;
        }
        case 6: {  // connection points: enumerate (Next then Skip), find, advise, unadvise
            ComPtr<IConnectionPointContainer> container;
            if (FAILED(server_.As(container))) break;
            ComPtr<IEnumConnectionPoints> points;
            if (SUCCEEDED(Count(container->EnumConnectionPoints(points.Put()))) && points) {
                Walk<IEnumConnectionPoints, IConnectionPoint*>(points.Get(), in_,
                                                               [](IConnectionPoint* p) {
                                                                   if (p) p->Release();
                                                               });
                Count(points->Skip(in_.Chance(50) ? 1 : in_.Any32()));
            }
            ComPtr<IConnectionPoint> point;
            if (SUCCEEDED(Count(
                    container->FindConnectionPoint(in_.Iid({IID_IOPCShutdown}), point.Put())))) {
                auto* sink = new ShutdownSink;
                DWORD cookie = 0;
                if (SUCCEEDED(Count(point->Advise(sink, &cookie))) && in_.Chance(80))
                    Count(point->Unadvise(in_.Chance(90) ? cookie : in_.Any32()));
                sink->Release();
                ComPtr<IEnumConnections> connections;
                if (SUCCEEDED(point->EnumConnections(connections.Put())) && connections)
                    Walk<IEnumConnections, CONNECTDATA>(connections.Get(), in_, [](CONNECTDATA& c) {
                        if (c.pUnk) c.pUnk->Release();
                    });
            }
            break;
        }
        case 7: {  // browsing
            ComPtr<IOPCBrowseServerAddressSpace> browse;
            if (FAILED(server_.As(browse))) break;
            const std::wstring where = in_.ItemId(shared_.itemIds);
            Count(browse->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(in_.Below(5)),
                                               where.c_str()));
            ComPtr<IEnumString> names;
            if (Count(browse->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(in_.Below(5)), L"",
                                               in_.Type(), in_.Any32(), names.Put())) == S_OK)
                Walk<IEnumString, LPOLESTR>(names.Get(), in_, [](LPOLESTR s) { CoTaskMemFree(s); });
            LPWSTR id = nullptr;
            Count(browse->GetItemID(const_cast<wchar_t*>(where.c_str()), &id));
            CoTaskMemFree(id);
            ComPtr<IEnumString> paths;
            Count(browse->BrowseAccessPaths(where.c_str(), paths.Put()));
            break;
        }
        case 8: {  // item properties, counts from 0 to many
            ComPtr<IOPCItemProperties> props;
            if (FAILED(server_.As(props))) break;
            const std::wstring id = in_.ItemId(shared_.itemIds);
            DWORD count = 0;
            DWORD* ids = nullptr;
            LPWSTR* descriptions = nullptr;
            VARTYPE* types = nullptr;
            if (SUCCEEDED(Count(props->QueryAvailableProperties(
                    const_cast<wchar_t*>(id.c_str()), &count, &ids, &descriptions, &types)))) {
                FreeStrings(descriptions, count);
                CoTaskMemFree(ids);
                CoTaskMemFree(types);
            }
            const DWORD asked = in_.Chance(80) ? in_.Below(10) : 20000;
            std::vector<DWORD> wanted(asked ? asked : 1);
            for (DWORD& w : wanted) w = in_.Chance(70) ? 1 + in_.Below(8) : in_.Any32();
            VARIANT* values = nullptr;
            HRESULT* errors = nullptr;
            if (SUCCEEDED(Count(props->GetItemProperties(const_cast<wchar_t*>(id.c_str()), asked,
                                                         wanted.data(), &values, &errors)))) {
                for (DWORD i = 0; values && i < asked; ++i) VariantClear(&values[i]);
                CoTaskMemFree(values);
                CoTaskMemFree(errors);
            }
            LPWSTR* itemIds = nullptr;
            if (SUCCEEDED(Count(props->LookupItemIDs(const_cast<wchar_t*>(id.c_str()), asked,
                                                     wanted.data(), &itemIds, &errors)))) {
                FreeStrings(itemIds, asked);
                CoTaskMemFree(errors);
            }
            break;
        }
        case 9: {  // public groups
            ComPtr<IOPCServerPublicGroups> pub;
            if (FAILED(server_.As(pub))) break;
            ComPtr<IUnknown> found;
            const std::wstring name = in_.Text();
            Count(pub->GetPublicGroupByName(name.c_str(), in_.Iid(ServerIids()), found.Put()));
            std::vector<DWORD> known;
            {
                std::lock_guard<std::mutex> guard(shared_.lock);
                for (const auto& g : shared_.groups)
                    if (g.isPublic) known.push_back(g.server);
            }
            Count(pub->RemovePublicGroup(in_.Handle(known, shared_.staleGroups), in_.Chance(50)));
            break;
        }
        case 14:
        case 15:
            ServerPointCall();
            break;
        case 16:  // OPC DA 3.0: browsing and IO by item identifier
            Da3ServerCall();
            break;
        default: {  // QueryInterface for anything
            ComPtr<IUnknown> any;
            Count(server_->QueryInterface(in_.Iid(ServerIids()), any.PutVoid()));
            break;
        }
    }
}

void StressWorker::GroupCall(unsigned what, StressShared::Group& group) {
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCAsyncIO2> async;
    ComPtr<IOPCGroupStateMgt> state;
    group.object.As(items);
    group.object.As(sync);
    group.object.As(async);
    group.object.As(state);
    std::vector<DWORD> handles;
    {
        const DWORD count = in_.Chance(90) ? in_.Below(12) : 10000;
        for (DWORD i = 0; i < count; ++i)
            handles.push_back(in_.Handle(group.items, group.staleItems));
    }
    const DWORD count = static_cast<DWORD>(handles.size());
    OPCHANDLE* list = handles.empty() ? nullptr : handles.data();
    HRESULT* errors = nullptr;
    switch (what) {
        case 0:
        case 1:
        case 2: {  // AddItems / ValidateItems with any identifier and requested type
            if (!items) break;
            const DWORD n = 1 + in_.Below(6);
            std::vector<std::wstring> ids(n);
            std::vector<OPCITEMDEF> defs(n);
            for (DWORD i = 0; i < n; ++i) {
                ids[i] = in_.ItemId(shared_.itemIds);
                defs[i].szAccessPath = const_cast<wchar_t*>(L"");
                defs[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
                defs[i].bActive = in_.Chance(80);
                defs[i].hClient = in_.Any32();
                defs[i].vtRequestedDataType = in_.Chance(60) ? VARTYPE{VT_EMPTY} : in_.Type();
            }
            OPCITEMRESULT* results = nullptr;
            const bool validate = what == 2;
            HRESULT hr = validate
                             ? CountOnGroup(items->ValidateItems(n, defs.data(), in_.Chance(50),
                                                                 &results, &errors))
                             : CountOnGroup(items->AddItems(n, defs.data(), &results, &errors));
            if (SUCCEEDED(hr) && results) {
                std::lock_guard<std::mutex> guard(shared_.lock);
                for (auto& g : shared_.groups)
                    if (g.server == group.server && g.object.Get() == group.object.Get() &&
                        !validate)
                        for (DWORD i = 0; i < n; ++i)
                            if (SUCCEEDED(errors[i]) && g.items.size() < 200)
                                g.items.push_back(results[i].hServer);
                for (DWORD i = 0; i < n; ++i) CoTaskMemFree(results[i].pBlob);
            }
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
            break;
        }
        case 3: {  // RemoveItems, which another thread may be reading
            if (!items || !count) break;
            if (SUCCEEDED(CountOnGroup(items->RemoveItems(count, list, &errors))))
                CoTaskMemFree(errors);
            std::lock_guard<std::mutex> guard(shared_.lock);
            for (auto& g : shared_.groups)
                if (g.object.Get() == group.object.Get())
                    for (DWORD h : handles) {
                        auto it = std::find(g.items.begin(), g.items.end(), h);
                        if (it != g.items.end()) {
                            g.items.erase(it);
                            g.staleItems.push_back(h);
                        }
                    }
            break;
        }
        case 4: {  // SetActiveState, SetClientHandles, SetDatatypes
            if (!items || !count) break;
            if (SUCCEEDED(
                    CountOnGroup(items->SetActiveState(count, list, in_.Chance(50), &errors))))
                CoTaskMemFree(errors);
            std::vector<OPCHANDLE> clients(count, in_.Any32());
            if (SUCCEEDED(
                    CountOnGroup(items->SetClientHandles(count, list, clients.data(), &errors))))
                CoTaskMemFree(errors);
            std::vector<VARTYPE> types(count);
            for (VARTYPE& t : types) t = in_.Type();
            if (SUCCEEDED(CountOnGroup(items->SetDatatypes(count, list, types.data(), &errors))))
                CoTaskMemFree(errors);
            break;
        }
        case 5: {  // the item enumerator
            if (!items) break;
            ComPtr<IUnknown> e;
            if (CountOnGroup(items->CreateEnumerator(
                    in_.Chance(90) ? IID_IEnumOPCItemAttributes : in_.Iid({}), e.Put())) == S_OK &&
                e) {
                ComPtr<IEnumOPCItemAttributes> attributes;
                if (FAILED(e.As(attributes))) break;
                OPCITEMATTRIBUTES* got = nullptr;
                ULONG fetched = 0;
                if (SUCCEEDED(attributes->Next(in_.Below(50), &got, &fetched)) && got) {
                    for (ULONG i = 0; i < fetched; ++i) {
                        CoTaskMemFree(got[i].szAccessPath);
                        CoTaskMemFree(got[i].szItemID);
                        CoTaskMemFree(got[i].pBlob);
                        VariantClear(&got[i].vEUInfo);
                    }
                    CoTaskMemFree(got);
                }
                attributes->Skip(in_.Any32());
                attributes->Reset();
            }
            break;
        }
        case 6:
        case 7: {  // synchronous reads, cache and device
            if (!sync || !count) break;
            OPCITEMSTATE* states = nullptr;
            if (SUCCEEDED(CountOnGroup(sync->Read(
                    in_.Chance(50) ? OPC_DS_CACHE : static_cast<OPCDATASOURCE>(in_.Below(4)), count,
                    list, &states, &errors)))) {
                for (DWORD i = 0; states && i < count; ++i) VariantClear(&states[i].vDataValue);
                CoTaskMemFree(states);
                CoTaskMemFree(errors);
            }
            break;
        }
        case 8: {  // synchronous writes of any value
            if (!sync || !count) break;
            std::vector<Variant> held;
            std::vector<VARIANT> values(count);
            for (DWORD i = 0; i < count; ++i) {
                held.push_back(i < 16 ? in_.Value(byref_) : Variant());
                values[i] = *held.back().Get();
            }
            if (SUCCEEDED(CountOnGroup(sync->Write(count, list, values.data(), &errors))))
                CoTaskMemFree(errors);
            break;
        }
        case 9:
        case 10: {  // asynchronous IO 2.0
            if (!async) break;
            DWORD cancel = 0;
            switch (in_.Below(5)) {
                case 0:
                    if (count && SUCCEEDED(CountOnGroup(
                                     async->Read(count, list, in_.Any32(), &cancel, &errors))))
                        CoTaskMemFree(errors);
                    break;
                case 1: {
                    if (!count) break;
                    std::vector<Variant> held;
                    std::vector<VARIANT> values(count);
                    for (DWORD i = 0; i < count; ++i) {
                        held.push_back(i < 16 ? in_.Value(byref_) : Variant());
                        values[i] = *held.back().Get();
                    }
                    if (SUCCEEDED(CountOnGroup(async->Write(count, list, values.data(), in_.Any32(),
                                                            &cancel, &errors))))
                        CoTaskMemFree(errors);
                    break;
                }
                case 2:
                    CountOnGroup(async->Refresh2(static_cast<OPCDATASOURCE>(in_.Below(4)),
                                                 in_.Any32(), &cancel));
                    break;
                case 3:
                    CountOnGroup(async->Cancel2(in_.Any32()));
                    break;
                default: {
                    BOOL enabled = FALSE;
                    CountOnGroup(async->SetEnable(in_.Chance(50)));
                    CountOnGroup(async->GetEnable(&enabled));
                    break;
                }
            }
            if (cancel && in_.Chance(30)) CountOnGroup(async->Cancel2(cancel));
            break;
        }
        case 11: {  // a callback that calls back into the group (two at most per group)
            if (!state || group.dataCookies.size() >= 2) break;
            ComPtr<IConnectionPointContainer> container;
            ComPtr<IConnectionPoint> point;
            if (FAILED(group.object.As(container)) ||
                FAILED(CountOnGroup(
                    container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()))))
                break;
            auto* sink = new ReenteringSink(state);
            DWORD cookie = 0;
            if (SUCCEEDED(CountOnGroup(point->Advise(sink, &cookie)))) {
                std::lock_guard<std::mutex> guard(shared_.lock);
                bool kept = false;
                for (auto& g : shared_.groups)
                    if (g.object.Get() == group.object.Get()) {
                        g.dataCookies.push_back(cookie);
                        kept = true;
                    }
                if (!kept) point->Unadvise(cookie);
            }
            sink->Release();
            break;
        }
        case 12: {  // group state
            if (!state) break;
            DWORD rate = in_.Any32() % 5000, revised = 0;
            BOOL active = in_.Chance(70);
            LONG bias = static_cast<LONG>(in_.Any32());
            FLOAT deadband = in_.Chance(50) ? 1.0f : 500.0f;
            DWORD lcid = 1049;
            OPCHANDLE client = in_.Any32();
            CountOnGroup(state->SetState(
                in_.Chance(50) ? &rate : nullptr, &revised, in_.Chance(50) ? &active : nullptr,
                in_.Chance(50) ? &bias : nullptr, in_.Chance(50) ? &deadband : nullptr,
                in_.Chance(50) ? &lcid : nullptr, in_.Chance(50) ? &client : nullptr));
            LPWSTR name = nullptr;
            OPCHANDLE server = 0;
            CountOnGroup(
                state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server));
            CoTaskMemFree(name);
            const std::wstring newName = in_.Text();
            CountOnGroup(state->SetName(newName.c_str()));
            break;
        }
        case 13: {  // clones and public groups
            if (!state) break;
            ComPtr<IUnknown> clone;
            const std::wstring name = in_.Text();
            if (SUCCEEDED(CountOnGroup(
                    state->CloneGroup(name.c_str(), in_.Iid(ServerIids()), clone.Put())))) {
                // The clone stays in the server's list until removed, as a client does.
                ComPtr<IOPCGroupStateMgt> cloneState;
                OPCHANDLE server = 0;
                if (SUCCEEDED(clone.As(cloneState)) &&
                    SUCCEEDED(CountOnGroup(ServerHandleOf(cloneState.Get(), server)))) {
                    cloneState.Reset();
                    clone.Reset();
                    Count(server_->RemoveGroup(server, in_.Chance(50)));
                }
            }
            ComPtr<IOPCPublicGroupStateMgt> pub;
            if (in_.Chance(30) && SUCCEEDED(group.object.As(pub))) {
                BOOL isPublic = FALSE;
                CountOnGroup(pub->GetState(&isPublic));
                if (SUCCEEDED(CountOnGroup(pub->MoveToPublic()))) {
                    // On the public list the group has a handle of that list.
                    OPCHANDLE server = 0;
                    if (FAILED(CountOnGroup(ServerHandleOf(state.Get(), server)))) break;
                    bool kept = false;
                    {
                        std::lock_guard<std::mutex> guard(shared_.lock);
                        for (auto& g : shared_.groups)
                            if (g.object.Get() == group.object.Get()) {
                                g.isPublic = kept = true;
                                g.server = server;
                            }
                    }
                    // Another thread let go of the group meanwhile: a public group outlives
                    // its clients, so it is removed here.
                    ComPtr<IOPCServerPublicGroups> publicGroups;
                    if (!kept && SUCCEEDED(server_.As(publicGroups)))
                        Count(publicGroups->RemovePublicGroup(server, TRUE));
                }
            }
            break;
        }
        case 14: {  // DA 1.0: IOPCAsyncIO with connections that match nothing
            ComPtr<IOPCAsyncIO> da1;
            if (FAILED(group.object.As(da1)) || !count) break;
            DWORD transaction = 0;
            if (SUCCEEDED(CountOnGroup(
                    da1->Read(in_.Any32(), OPC_DS_CACHE, count, list, &transaction, &errors))))
                CoTaskMemFree(errors);
            CountOnGroup(da1->Refresh(in_.Any32(), OPC_DS_DEVICE, &transaction));
            CountOnGroup(da1->Cancel(in_.Any32()));
            break;
        }
        case 16:
        case 17:
            GroupPointCall(group);
            break;
        case 18:  // OPC DA 3.0: keep-alive times from one end to the other, items' deadbands
            Da3GroupCall(group.object.Get(), count, list);
            break;
        case 19:  // OPC DA 3.0: reads with a maximum age, VQT writes, their cancels
            Da3GroupIoCall(group.object.Get(), count, list);
            break;
        default: {
            ComPtr<IUnknown> any;
            CountOnGroup(group.object->QueryInterface(in_.Iid(ServerIids()), any.PutVoid()));
            break;
        }
    }
}

void StressWorker::Da3GroupCall(IUnknown* group, DWORD count, OPCHANDLE* list) {
    ComPtr<IOPCGroupStateMgt2> state;
    if (SUCCEEDED(group->QueryInterface(IID_IOPCGroupStateMgt2, state.PutVoid()))) {
        static constexpr DWORD kTimes[] = {0,    1,          249,        250,
                                           1000, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
        DWORD revised = 0, now = 0;
        CountOnGroup(
            state->SetKeepAlive(in_.Chance(80) ? kTimes[in_.Below(8)] : in_.Any32(), &revised));
        CountOnGroup(state->GetKeepAlive(&now));
    }
    ComPtr<IOPCItemDeadbandMgt> deadbands;
    if (FAILED(group->QueryInterface(IID_IOPCItemDeadbandMgt, deadbands.PutVoid()))) return;
    static constexpr FLOAT kOdd[] = {-1.0f, 100.5f,    1e30f,
                                     -0.0f, HUGE_VALF, std::numeric_limits<FLOAT>::quiet_NaN()};
    std::vector<FLOAT> percents(count);
    for (FLOAT& p : percents)
        p = in_.Chance(70) ? static_cast<FLOAT>(in_.Below(101)) : kOdd[in_.Below(6)];
    FLOAT* percent = percents.empty() ? nullptr : percents.data();
    HRESULT* errors = nullptr;
    FLOAT* got = nullptr;
    if (SUCCEEDED(CountOnGroup(deadbands->SetItemDeadband(count, list, percent, &errors))))
        CoTaskMemFree(errors);
    errors = nullptr;
    if (SUCCEEDED(CountOnGroup(deadbands->GetItemDeadband(count, list, &got, &errors)))) {
        CoTaskMemFree(got);
        CoTaskMemFree(errors);
    }
    errors = nullptr;
    if (SUCCEEDED(CountOnGroup(deadbands->ClearItemDeadband(count, list, &errors))))
        CoTaskMemFree(errors);
}
