// The stress client's calls on connection points. A connection point is an object of its own
// across processes (its own stub, its own references), living as long as its container: these
// calls mix finding, advising and enumerating with the container's end (a group removed with
// force, a server object released) and with other threads undoing each other's advises.
#include <algorithm>
#include <vector>

#include "client_objects.h"
#include "stress_worker.h"

namespace {

// A data callback that answers and does nothing else.
class QuietDataSink final : public Sink<IOPCDataCallback> {
  public:
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                              WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                WORD*, FILETIME*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

// Kept small: cookies undone are only there to be named again.
void Remember(std::vector<DWORD>& cookies, DWORD cookie) {
    if (cookies.size() >= 64) cookies.erase(cookies.begin());
    cookies.push_back(cookie);
}

}  // namespace

ComPtr<IConnectionPoint> StressWorker::FindPoint(IConnectionPointContainer* container, REFIID iid,
                                                 bool onGroup) {
    ComPtr<IConnectionPoint> point;
    if (in_.Chance(60)) {
        CountOn(onGroup, container->FindConnectionPoint(iid, point.Put()));
        return point;
    }
    ComPtr<IEnumConnectionPoints> points;
    if (FAILED(CountOn(onGroup, container->EnumConnectionPoints(points.Put()))) || !points)
        return point;
    Walk<IEnumConnectionPoints, IConnectionPoint*>(points.Get(), in_, [](IConnectionPoint* p) {
        if (p) p->Release();
    });
    CountOn(onGroup, points->Skip(in_.Chance(50) ? 1 : in_.Any32()));
    ComPtr<IEnumConnectionPoints> clone;
    if (in_.Chance(50) && SUCCEEDED(CountOn(onGroup, points->Clone(clone.Put()))) && clone)
        points = clone;
    CountOn(onGroup, points->Reset());
    std::vector<IConnectionPoint*> got(64, nullptr);  // room to spare: see Walk
    ULONG fetched = 0;
    CountOn(onGroup, points->Next(1, got.data(), &fetched));
    point = ComPtr<IConnectionPoint>::Attach(got[0]);
    for (size_t i = 1; i < got.size(); ++i)
        if (got[i]) got[i]->Release();
    return point;
}

void StressWorker::WalkConnections(IConnectionPoint* point, bool onGroup) {
    ComPtr<IEnumConnections> connections;
    if (FAILED(CountOn(onGroup, point->EnumConnections(connections.Put()))) || !connections) return;
    Walk<IEnumConnections, CONNECTDATA>(connections.Get(), in_, [](CONNECTDATA& c) {
        if (c.pUnk) c.pUnk->Release();
    });
    ComPtr<IEnumConnections> clone;
    if (in_.Chance(50) && SUCCEEDED(CountOn(onGroup, connections->Clone(clone.Put()))) && clone)
        connections = clone;
    CountOn(onGroup, connections->Reset());
    std::vector<CONNECTDATA> got(64, CONNECTDATA{});  // room to spare: see Walk
    ULONG fetched = 0;
    CountOn(onGroup, connections->Next(1, got.data(), &fetched));
    for (CONNECTDATA& c : got)
        if (c.pUnk) c.pUnk->Release();  // by content: the count may come back garbled
    CountOn(onGroup, connections->Skip(in_.Chance(50) ? 1 : in_.Any32()));
}

void StressWorker::ServerPointCall() {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(server_.As(container))) return;
    switch (in_.Below(6)) {
        case 0: {  // advise, left for any thread to undo, or undone at once
            ComPtr<IConnectionPoint> point = FindPoint(container.Get(), IID_IOPCShutdown, false);
            if (!point) break;
            auto* sink = new ShutdownSink;
            DWORD cookie = 0;
            if (SUCCEEDED(Count(point->Advise(sink, &cookie)))) {
                bool kept = false;
                {
                    std::lock_guard<std::mutex> guard(shared_.lock);
                    if (shared_.shutdownCookies.size() < 16 && in_.Chance(70)) {
                        shared_.shutdownCookies.push_back(cookie);
                        kept = true;
                    }
                }
                if (!kept) Count(point->Unadvise(cookie));
            }
            sink->Release();
            break;
        }
        case 1: {  // unadvise a live cookie (perhaps another thread's), an undone one, or any
            ComPtr<IConnectionPoint> point = FindPoint(container.Get(), IID_IOPCShutdown, false);
            if (!point) break;
            DWORD cookie;
            {
                std::lock_guard<std::mutex> guard(shared_.lock);
                auto& live = shared_.shutdownCookies;
                cookie = in_.Handle(live, shared_.staleShutdownCookies);
                auto it = std::find(live.begin(), live.end(), cookie);
                if (it != live.end()) live.erase(it);
                Remember(shared_.staleShutdownCookies, cookie);
            }
            Count(point->Unadvise(cookie));
            break;
        }
        case 2: {
            ComPtr<IConnectionPoint> point = FindPoint(container.Get(), IID_IOPCShutdown, false);
            if (point) WalkConnections(point.Get(), false);
            break;
        }
        case 3: {  // a group removed with force, then the server's point found and used
            StressShared::Group group;
            bool wasPublic = false;
            if (PickGroup(group) && ForgetGroup(group.server, wasPublic))
                RemoveAnyGroup(group.server, wasPublic, TRUE);
            ComPtr<IConnectionPoint> point;
            if (FAILED(Count(container->FindConnectionPoint(IID_IOPCShutdown, point.Put())))) break;
            WalkConnections(point.Get(), false);
            ComPtr<IUnknown> any;
            Count(container->QueryInterface(in_.Iid({}), any.PutVoid()));
            point.Reset();
            if (FAILED(Count(container->FindConnectionPoint(IID_IOPCShutdown, point.Put())))) break;
            std::vector<DWORD> none;
            Count(point->Unadvise(in_.Handle(none, none)));
            break;
        }
        case 4: {  // another server object, with a shutdown sink, released again
            ComPtr<IOPCServer> other;
            if (FAILED(Count(CoCreateInstance(shared_.clsid, nullptr, CLSCTX_LOCAL_SERVER,
                                              IID_IOPCServer, other.PutVoid()))))
                break;
            ComPtr<IConnectionPointContainer> otherContainer;
            if (FAILED(other.As(otherContainer))) break;
            ComPtr<IConnectionPoint> point =
                FindPoint(otherContainer.Get(), IID_IOPCShutdown, false);
            if (!point) break;
            auto* sink = new ShutdownSink;
            DWORD cookie = 0;
            if (SUCCEEDED(Count(point->Advise(sink, &cookie)))) {
                if (in_.Chance(50)) WalkConnections(point.Get(), false);
                if (in_.Chance(50)) Count(point->Unadvise(cookie));
            }
            sink->Release();
            // The point goes first or last: the server object ends with the last of the two.
            if (in_.Chance(50)) point.Reset();
            otherContainer.Reset();
            other.Reset();
            break;
        }
        default: {  // what a point tells about itself
            ComPtr<IConnectionPoint> point =
                FindPoint(container.Get(), in_.Iid({IID_IOPCShutdown}), false);
            if (!point) break;
            IID iid;
            Count(point->GetConnectionInterface(&iid));
            ComPtr<IConnectionPointContainer> back;
            Count(point->GetConnectionPointContainer(back.Put()));
            ComPtr<IUnknown> any;
            Count(point->QueryInterface(in_.Iid({IID_IUnknown, IID_IConnectionPoint}),
                                        any.PutVoid()));
            break;
        }
    }
}

void StressWorker::GroupPointCall(StressShared::Group& group) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(group.object.As(container))) return;
    ComPtr<IConnectionPoint> point = FindPoint(container.Get(), IID_IOPCDataCallback, true);
    if (!point) return;
    switch (in_.Below(5)) {
        case 0: {  // advise, kept with the group (undone when it goes) or undone at once
            ComPtr<IOPCGroupStateMgt> state;
            Sink<IOPCDataCallback>* sink = nullptr;
            if (in_.Chance(50) && SUCCEEDED(group.object.As(state)))
                sink = new ReenteringSink(state);
            else
                sink = new QuietDataSink;
            DWORD cookie = 0;
            if (SUCCEEDED(CountOnGroup(point->Advise(sink, &cookie)))) {
                bool kept = false;
                {
                    std::lock_guard<std::mutex> guard(shared_.lock);
                    for (auto& g : shared_.groups)
                        if (g.object.Get() == group.object.Get() && g.dataCookies.size() < 4 &&
                            in_.Chance(70)) {
                            g.dataCookies.push_back(cookie);
                            kept = true;
                        }
                }
                if (!kept) CountOnGroup(point->Unadvise(cookie));
            }
            sink->Release();
            break;
        }
        case 1: {  // unadvise one of the group's cookies, or one that names nothing
            DWORD cookie;
            {
                std::lock_guard<std::mutex> guard(shared_.lock);
                std::vector<DWORD> none;
                cookie = in_.Handle(none, none);
                for (auto& g : shared_.groups)
                    if (g.object.Get() == group.object.Get() && !g.dataCookies.empty() &&
                        in_.Chance(70)) {
                        cookie = g.dataCookies.back();
                        g.dataCookies.pop_back();
                    }
            }
            CountOnGroup(point->Unadvise(cookie));
            break;
        }
        case 2:
            WalkConnections(point.Get(), true);
            break;
        case 3: {  // the group removed with force while its point is held, and the point used
            bool wasPublic = false;
            if (ForgetGroup(group.server, wasPublic)) RemoveAnyGroup(group.server, wasPublic, TRUE);
            std::vector<DWORD> none;
            CountOnGroup(point->Unadvise(in_.Handle(none, none)));
            WalkConnections(point.Get(), true);
            ComPtr<IConnectionPointContainer> back;
            CountOnGroup(point->GetConnectionPointContainer(back.Put()));
            break;
        }
        default: {
            IID iid;
            CountOnGroup(point->GetConnectionInterface(&iid));
            ComPtr<IUnknown> any;
            CountOnGroup(point->QueryInterface(in_.Iid({}), any.PutVoid()));
            break;
        }
    }
}
