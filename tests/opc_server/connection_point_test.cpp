// The connection point and its sink list: slot reuse, cookies, release without calls,
// identity of the embedded point, and concurrent use.
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "connection_point.h"
#include "test_objects.h"

namespace {

// A container with the one IOPCShutdown point, as the server object has it.
class Container final : public ComObject<Container, IConnectionPointContainer> {
  public:
    Container() : point(static_cast<IConnectionPointContainer*>(this), lock) {}
    ~Container() override { point.DisconnectAll(); }
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        return EnumConnectionPointsOf({&point}, Identity(), out);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        return FindConnectionPointIn({&point}, riid, out);
    }
    LONG Refs() const { return RefCount(); }
    CriticalSection lock;
    ConnectionPoint<IOPCShutdown> point;
};

std::vector<DWORD> CookiesInOrder(IConnectionPoint* point,
                                  std::vector<IUnknown*>* sinks = nullptr) {
    ComPtr<IEnumConnections> e;
    EXPECT_EQ(S_OK, point->EnumConnections(e.Put()));
    std::vector<DWORD> cookies;
    CONNECTDATA data;
    while (e->Next(1, &data, nullptr) == S_OK) {
        cookies.push_back(data.dwCookie);
        if (sinks) sinks->push_back(data.pUnk);
        data.pUnk->Release();
    }
    return cookies;
}

TEST(ConnectionPoint, FindsOnlyItsOwnInterface) {
    auto c = Container::Make();
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, c->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    EXPECT_FALSE(point);
    EXPECT_EQ(E_POINTER, c->FindConnectionPoint(IID_IOPCShutdown, nullptr));
    ASSERT_EQ(S_OK, c->FindConnectionPoint(IID_IOPCShutdown, point.Put()));
    IID iid;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(iid == IID_IOPCShutdown);
    EXPECT_EQ(E_POINTER, point->GetConnectionInterface(nullptr));

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, c->EnumConnectionPoints(points.Put()));
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, listed, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(point.Get(), listed[0]);
    listed[0]->Release();
}

TEST(ConnectionPoint, HasItsOwnIdentityButTheContainersCount) {
    auto c = Container::Make();
    const LONG base = c->Refs();
    IConnectionPoint* point = &c->point;
    ComPtr<IUnknown> pointIdentity, containerIdentity;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IUnknown, pointIdentity.PutVoid()));
    ASSERT_EQ(S_OK, c->QueryInterface(IID_IUnknown, containerIdentity.PutVoid()));
    EXPECT_NE(pointIdentity.Get(), containerIdentity.Get());
    EXPECT_EQ(static_cast<IUnknown*>(point), pointIdentity.Get());
    EXPECT_EQ(base + 2, c->Refs());
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(back.Put()));
    EXPECT_EQ(static_cast<IConnectionPointContainer*>(c.Get()), back.Get());
}

TEST(ConnectionPoint, AdviseRefusesSinksOfTheWrongKind) {
    auto c = Container::Make();
    CountedUnknown notASink;
    DWORD cookie = 77;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, c->point.Advise(&notASink, &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(1, notASink.refs);
    cookie = 77;
    EXPECT_EQ(E_POINTER, c->point.Advise(nullptr, &cookie));
    EXPECT_EQ(0u, cookie);
    CountingShutdownSink sink;
    EXPECT_EQ(E_POINTER, c->point.Advise(&sink, nullptr));
    EXPECT_EQ(1, sink.refs);
}

TEST(ConnectionPoint, FreedSlotIsReusedAndListedInSlotOrder) {
    auto c = Container::Make();
    CountingShutdownSink sinks[6];
    DWORD cookies[6] = {};
    for (int i = 0; i < 5; ++i) ASSERT_EQ(S_OK, c->point.Advise(&sinks[i], &cookies[i]));
    EXPECT_EQ(8u, c->point.SlotCapacity()) << "1 slot, then 4, then doubled";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(2, sinks[i].refs);
    ASSERT_EQ(S_OK, c->point.Unadvise(cookies[1]));
    EXPECT_EQ(1, sinks[1].refs);
    ASSERT_EQ(S_OK, c->point.Advise(&sinks[5], &cookies[5]));
    std::vector<IUnknown*> listed;
    EXPECT_EQ((std::vector<DWORD>{cookies[0], cookies[5], cookies[2], cookies[3], cookies[4]}),
              CookiesInOrder(&c->point, &listed));
    EXPECT_EQ(static_cast<IUnknown*>(&sinks[5]), listed[1]);
    EXPECT_EQ(8u, c->point.SlotCapacity());
}

TEST(ConnectionPoint, SameSinkTwiceGetsOneCookieRemovedOneAtATime) {
    auto c = Container::Make();
    CountingShutdownSink sink, other;
    DWORD first = 0, second = 0, third = 0;
    ASSERT_EQ(S_OK, c->point.Advise(&sink, &first));
    ASSERT_EQ(S_OK, c->point.Advise(&other, &third));
    ASSERT_EQ(S_OK, c->point.Advise(&sink, &second));
    EXPECT_EQ(first, second);
    EXPECT_NE(first, third);
    EXPECT_NE(0u, first);
    EXPECT_EQ(3, sink.refs);
    EXPECT_EQ(S_OK, c->point.Unadvise(first));
    EXPECT_EQ((std::vector<DWORD>{third, first}), CookiesInOrder(&c->point));
    EXPECT_EQ(S_OK, c->point.Unadvise(first));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, c->point.Unadvise(first));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, c->point.Unadvise(0));
    EXPECT_EQ(1, sink.refs);
}

TEST(ConnectionPoint, DestroyingTheContainerReleasesEachSinkOnceAndCallsNone) {
    CountingShutdownSink a, b;
    {
        auto c = Container::Make();
        DWORD cookie;
        ASSERT_EQ(S_OK, c->point.Advise(&a, &cookie));
        ASSERT_EQ(S_OK, c->point.Advise(&b, &cookie));
        ASSERT_EQ(S_OK, c->point.Advise(&a, &cookie));
        EXPECT_EQ(3, a.refs);
    }
    EXPECT_EQ(1, a.refs);
    EXPECT_EQ(1, b.refs);
    EXPECT_EQ(0, a.calls);
    EXPECT_EQ(0, b.calls);
}

TEST(ConnectionPoint, SinksSnapshotIsCountedForCallsOutsideTheLock) {
    auto c = Container::Make();
    CountingShutdownSink sink;
    DWORD cookie;
    ASSERT_EQ(S_OK, c->point.Advise(&sink, &cookie));
    {
        auto sinks = c->point.Sinks();
        ASSERT_EQ(1u, sinks.size());
        EXPECT_EQ(3, sink.refs);
        ASSERT_EQ(S_OK, c->point.Unadvise(cookie));
        EXPECT_EQ(S_OK, sinks[0]->ShutdownRequest(L"x")) << "still safe to call";
    }
    EXPECT_EQ(1, sink.refs);
}

TEST(ConnectionPoint, ConcurrentAdviseAndUnadviseKeepTheCountsRight) {
    auto c = Container::Make();
    CountingShutdownSink sinks[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                DWORD cookie = 0;
                if (c->point.Advise(&sinks[t], &cookie) != S_OK) return;
                auto listed = CookiesInOrder(&c->point);
                if (listed.empty() || c->point.Unadvise(cookie) != S_OK) return;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (auto& s : sinks) EXPECT_EQ(1, s.refs);
    EXPECT_TRUE(CookiesInOrder(&c->point).empty());
}

}  // namespace

namespace {

// A sink whose client has gone is called no more, yet stays listed until its Unadvise.
TEST(ConnectionPoint, AGoneSinkIsNotHandedOutForCallsButStaysListed) {
    CountingShutdownSink gone, live;
    auto c = Container::Make();
    DWORD goneCookie, liveCookie;
    ASSERT_EQ(S_OK, c->point.Advise(&gone, &goneCookie));
    ASSERT_EQ(S_OK, c->point.Advise(&live, &liveCookie));
    c->point.MarkGone(&gone);
    auto sinks = c->point.Sinks();
    ASSERT_EQ(1u, sinks.size());
    EXPECT_EQ(static_cast<IOPCShutdown*>(&live), sinks[0].Get());
    EXPECT_TRUE(c->point.HasLiveSinks());
    EXPECT_EQ((std::vector<DWORD>{goneCookie, liveCookie}), CookiesInOrder(&c->point));
    EXPECT_EQ(S_OK, c->point.Unadvise(goneCookie));
    EXPECT_EQ(1, gone.refs);
    c->point.MarkGone(&live);
    EXPECT_FALSE(c->point.HasLiveSinks());
    EXPECT_EQ((std::vector<DWORD>{liveCookie}), CookiesInOrder(&c->point));
}

}  // namespace
