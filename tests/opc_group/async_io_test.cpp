// Asynchronous IO, data callbacks and the update cycle through a real client connection: this
// test process is the client, its sinks receive the server's callbacks from the other process.
// Against the probe driver's tree (Probe.Dev.Temp R4 21.5, Count I4 7, Fixed I4 42 read-only,
// Text BSTR "hello", Poor R4 with quality 0x40), its DLLUpdate slowed down to 300 ms.
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "opc_client_fixture.h"
#include "recording_sink.h"
#include "reply_budget.h"

namespace {

constexpr DWORD kSlowUpdateMs = 300;

// A group of this test with its interfaces and a recording sink advised on it.
struct Subscription {
    AddedGroup added;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCAsyncIO2> io;
    ComPtr<IConnectionPoint> point;
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;

    HRESULT Advise(RecordingSink* which, DWORD* cookieOut) {
        return point->Advise(static_cast<IOPCDataCallback*>(which), cookieOut);
    }
};

struct AsyncCall {
    HRESULT hr = E_FAIL;
    DWORD cancelId = 0;
    std::vector<HRESULT> errors;
};

AsyncCall AsyncRead(IOPCAsyncIO2* io, std::vector<OPCHANDLE> handles, DWORD transaction) {
    AsyncCall c;
    HRESULT* errors = nullptr;
    c.hr = io->Read(static_cast<DWORD>(handles.size()), handles.data(), transaction, &c.cancelId,
                    &errors);
    if (errors) c.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return c;
}

AsyncCall AsyncWrite(IOPCAsyncIO2* io, std::vector<OPCHANDLE> handles, std::vector<VARIANT> values,
                     DWORD transaction) {
    AsyncCall c;
    HRESULT* errors = nullptr;
    c.hr = io->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), transaction,
                     &c.cancelId, &errors);
    if (errors) c.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    for (VARIANT& v : values) VariantClear(&v);
    return c;
}

VARIANT I4(LONG value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

VARIANT Text(const wchar_t* text) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}

class AsyncIo : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        install_ = new ServerInstallation(std::string(ServerInstallation::kProbeTree) +
                                          "tag=Dev.Poor:R4:1.5:q=40\n"
                                          "update_delay_ms=" +
                                          std::to_string(kSlowUpdateMs) + "\n");
        registered_ = install_->Run("/RegServer");
    }

    // A group (client handle 77) with `ids` as items 1, 2, ..., and a sink advised.
    Subscription Subscribe(const std::vector<std::wstring>& ids, DWORD rate = 1000,
                           BOOL active = TRUE, const wchar_t* name = nullptr) {
        Subscription s;
        const std::wstring unique = L"G" + std::to_wstring(++groups_);
        s.added = AddGroupTo(server_.Get(), name ? name : unique.c_str(), rate, active);
        EXPECT_EQ(S_OK, s.added.hr);
        if (!s.added.state) return s;
        EXPECT_EQ(S_OK, s.added.state.As(s.items));
        EXPECT_EQ(S_OK, s.added.state.As(s.io));
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, s.added.state.As(container));
        EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, s.point.Put()));
        if (!ids.empty()) {
            handles_.clear();  // the items of the latest group with items
            Added a = AddItems(s.items.Get(), ids);
            EXPECT_EQ(S_OK, a.hr);
            for (const OPCITEMRESULT& r : a.results) handles_.push_back(r.hServer);
        }
        EXPECT_EQ(S_OK, s.Advise(s.sink.Get(), &s.cookie));
        return s;
    }

    size_t ProbeCalls(const char* entry) {
        return CountCalls(ReadProbeLog(install_->probe_), entry);
    }

    std::vector<OPCHANDLE> handles_;  // server handles of the latest group's items
    int groups_ = 0;
};

TEST_F(AsyncIo, ReadReportsTheKnownHandlesInOneCallbackAndRefusesOnlyUnknownOnes) {
    Subscription s =
        Subscribe({L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Text"}, 1000, FALSE);
    AsyncCall c = AsyncRead(s.io.Get(), {handles_[0], handles_[1], 0xBAD, handles_[2]}, 4711);
    EXPECT_EQ(S_OK, c.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, E_FAIL, S_OK}), c.errors);
    EXPECT_NE(0u, c.cancelId);
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kReadComplete, 1, 10000));
    Sleep(200);
    std::vector<DataCall> calls = s.sink->Calls();
    ASSERT_EQ(1u, calls.size()) << "one callback for the whole read, and nothing else";
    const DataCall& r = calls[0];
    EXPECT_EQ(4711u, r.transaction);
    EXPECT_EQ(77u, r.group);
    EXPECT_EQ(S_OK, r.masterQuality);
    EXPECT_EQ(S_OK, r.masterError);
    EXPECT_EQ((std::vector<OPCHANDLE>{1, 2, 3}), r.clients);
    ASSERT_EQ(3u, r.values.size());
    EXPECT_EQ(VT_R4, V_VT(r.values[0].Get()));
    EXPECT_FLOAT_EQ(21.5f, V_R4(r.values[0].Get()));
    EXPECT_EQ(7, V_I4(r.values[1].Get()));
    EXPECT_STREQ(L"hello", V_BSTR(r.values[2].Get()));

    // Only unknown handles: no transaction at all.
    c = AsyncRead(s.io.Get(), {0xBAD, 0xBAD + 1}, 4712);
    EXPECT_EQ(E_FAIL, c.hr);
    EXPECT_EQ((std::vector<HRESULT>{E_FAIL, E_FAIL}), c.errors);
    Sleep(kSlowUpdateMs + 500);
    EXPECT_EQ(1u, s.sink->Calls().size());

    // Callbacks cannot be switched off, and an empty call starts nothing.
    DWORD cancel = 0;
    HRESULT* errors = nullptr;
    OPCHANDLE h = handles_[0];
    EXPECT_EQ(E_INVALIDARG, s.io->Read(0, &h, 1, &cancel, &errors));
    EXPECT_EQ(E_NOTIMPL, s.io->SetEnable(FALSE));
    BOOL enabled;
    EXPECT_EQ(E_NOTIMPL, s.io->GetEnable(&enabled));
}

TEST_F(AsyncIo, WriteRefusesReadOnlyAndUnconvertibleValuesWithoutTouchingThem) {
    Subscription s =
        Subscribe({L"Probe.Dev.Count", L"Probe.Dev.Fixed", L"Probe.Dev.Temp"}, 1000, FALSE);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, s.items.As(sync));
    auto readAll = [&](OPCDATASOURCE source, int expected[2], float temp) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, sync->Read(source, 3, handles_.data(), &states, &errors));
        EXPECT_EQ(expected[0], V_I4(&states[0].vDataValue)) << source;
        EXPECT_EQ(expected[1], V_I4(&states[1].vDataValue)) << source;
        EXPECT_FLOAT_EQ(temp, V_R4(&states[2].vDataValue)) << source;
        for (int i = 0; i < 3; ++i) VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    };
    int before[2] = {7, 42};
    readAll(OPC_DS_DEVICE, before, 21.5f);  // the cache now holds the tags' values
    const size_t setsBefore = ProbeCalls("DLLSetObjectInfo");
    std::vector<VARIANT> values{I4(1234), I4(99), Text(L"not a number")};
    AsyncCall c = AsyncWrite(s.io.Get(), {handles_[0], handles_[1], handles_[2], 0xBAD},
                             {values[0], values[1], values[2], I4(5)}, 31);
    EXPECT_EQ(S_OK, c.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, S_OK, E_FAIL}), c.errors);
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kWriteComplete, 1, 10000));
    const DataCall w = s.sink->Calls(DataCall::kWriteComplete)[0];
    EXPECT_EQ(31u, w.transaction);
    EXPECT_EQ(S_FALSE, w.masterError);
    EXPECT_EQ((std::vector<OPCHANDLE>{1, 2, 3}), w.clients);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS, OPC_E_BADTYPE}), w.errors);
    EXPECT_EQ(setsBefore + 1, ProbeCalls("DLLSetObjectInfo")) << "only the good value is written";
    // A value beyond the tag's type (R4) is refused as out of range.
    VARIANT huge;
    VariantInit(&huge);
    V_VT(&huge) = VT_R8;
    V_R8(&huge) = 1e300;
    AsyncWrite(s.io.Get(), {handles_[2]}, {huge}, 33);
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kWriteComplete, 2, 10000));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_RANGE}),
              s.sink->Calls(DataCall::kWriteComplete)[1].errors);
    EXPECT_EQ(setsBefore + 1, ProbeCalls("DLLSetObjectInfo"));

    // The cache and the device keep the refused items' values.
    int after[2] = {1234, 42};
    readAll(OPC_DS_CACHE, after, 21.5f);
    readAll(OPC_DS_DEVICE, after, 21.5f);
    VARIANT back = I4(7);
    AsyncWrite(s.io.Get(), {handles_[0]}, {back}, 32);
    EXPECT_TRUE(s.sink->WaitFor(DataCall::kWriteComplete, 3, 10000));
}

TEST_F(AsyncIo, CancelEndsAPendingReadWithOnCancelCompleteAndOnlyAPendingOne) {
    Subscription s = Subscribe({L"Probe.Dev.Temp"}, 1000, FALSE);
    // The worker spends kSlowUpdateMs updating the driver before it reads any item.
    AsyncCall c = AsyncRead(s.io.Get(), {handles_[0]}, 8);
    ASSERT_EQ(S_OK, c.hr);
    EXPECT_EQ(S_OK, s.io->Cancel2(c.cancelId));
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kCancelComplete, 1, 10000));
    Sleep(200);
    std::vector<DataCall> calls = s.sink->Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(8u, calls[0].transaction);
    EXPECT_EQ(77u, calls[0].group);

    // An ended transaction, and an identifier that never was one.
    EXPECT_EQ(E_FAIL, s.io->Cancel2(c.cancelId));
    EXPECT_EQ(E_FAIL, s.io->Cancel2(0));

    c = AsyncRead(s.io.Get(), {handles_[0]}, 9);
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kReadComplete, 1, 10000));
    // Its values have gone out: too late, whether the worker has ended yet or not.
    EXPECT_EQ(E_FAIL, s.io->Cancel2(c.cancelId)) << "too late: the read has reported";
    Sleep(200);
    EXPECT_EQ(0u, s.sink->Count(DataCall::kCancelComplete) - 1) << "no second cancel callback";
}

// A cancel says yes only for a transaction that will end with OnCancelComplete and whose
// write has not reached the driver: of many writes each cancelled at once, every S_OK is
// followed by OnCancelComplete alone and its value never reaches the device, every E_FAIL by
// OnWriteComplete alone and its value does.
TEST_F(AsyncIo, ACancelThatSaysYesLeavesNothingWritten) {
    Subscription s = Subscribe({L"Probe.Dev.Count"}, 1000, FALSE);
    constexpr DWORD kPairs = 300;
    std::vector<HRESULT> cancels(kPairs, E_UNEXPECTED);
    for (DWORD i = 0; i < kPairs; ++i) {
        AsyncCall c =
            AsyncWrite(s.io.Get(), {handles_[0]}, {I4(static_cast<LONG>(100000 + i))}, 1000 + i);
        ASSERT_EQ(S_OK, c.hr);
        cancels[i] = s.io->Cancel2(c.cancelId);
        if (i % 50 == 49) Sleep(kSlowUpdateMs);  // now and then one gets under way first
    }
    auto ended = [&] {
        return s.sink->Count(DataCall::kCancelComplete) + s.sink->Count(DataCall::kWriteComplete);
    };
    for (int i = 0; i < 600 && ended() < kPairs; ++i) Sleep(100);
    Sleep(500);
    std::vector<int> cancelled(kPairs, 0), completed(kPairs, 0);
    for (const DataCall& c : s.sink->Calls()) {
        ASSERT_GE(c.transaction, 1000u);
        ASSERT_LT(c.transaction, 1000u + kPairs);
        if (c.kind == DataCall::kCancelComplete) ++cancelled[c.transaction - 1000];
        if (c.kind == DataCall::kWriteComplete) ++completed[c.transaction - 1000];
    }
    std::set<std::string> expected;
    size_t yes = 0;
    for (DWORD i = 0; i < kPairs; ++i) {
        ASSERT_TRUE(cancels[i] == S_OK || cancels[i] == E_FAIL) << i;
        if (cancels[i] == S_OK) {
            ++yes;
            EXPECT_EQ(1, cancelled[i]) << "transaction " << i;
            EXPECT_EQ(0, completed[i]) << "transaction " << i;
        } else {
            EXPECT_EQ(0, cancelled[i]) << "transaction " << i;
            EXPECT_EQ(1, completed[i]) << "transaction " << i;
            expected.insert(std::to_string(100000 + i));
        }
    }
    std::set<std::string> written;
    for (const ProbeCall& c : ReadProbeLog(install_->probe_)) {
        const size_t arrow = c.args.find("=>");
        if (!c.entering && c.entry == "DLLSetObjectInfo" && arrow != std::string::npos &&
            c.args.find(",Count,") != std::string::npos)
            written.insert(c.args.substr(arrow + 2));
    }
    for (const std::string& value : written)
        if (std::stol(value) >= 100000) {
            EXPECT_EQ(1u, expected.count(value)) << value;
        }
    for (const std::string& value : expected) EXPECT_EQ(1u, written.count(value)) << value;
    EXPECT_GT(yes, 0u) << "some cancels came in time";
}

TEST_F(AsyncIo, RefreshFromTheCacheReportsEveryItemOfAnInactiveGroupWithoutTheDriver) {
    Subscription s = Subscribe({L"Probe.Dev.Temp", L"Probe.Dev.Count"}, 1000, FALSE);
    DWORD cancel = 0;
    // A group without items has nothing to refresh.
    Subscription empty = Subscribe({}, 1000, FALSE);
    EXPECT_EQ(E_FAIL, empty.io->Refresh2(OPC_DS_CACHE, 1, &cancel));

    const size_t readsBefore = ProbeCalls("DLLGetObjectInfo");
    const size_t updatesBefore = ProbeCalls("DLLUpdate");
    ASSERT_EQ(S_OK, s.io->Refresh2(OPC_DS_CACHE, 55, &cancel));
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kDataChange, 1, 10000));
    const DataCall r = s.sink->Calls()[0];
    EXPECT_EQ(55u, r.transaction);
    EXPECT_EQ((std::vector<OPCHANDLE>{1, 2}), r.clients);
    EXPECT_EQ(readsBefore, ProbeCalls("DLLGetObjectInfo"));
    EXPECT_LE(ProbeCalls("DLLUpdate"), updatesBefore + 1) << "only the scan thread's own pass";

    ASSERT_EQ(S_OK, s.io->Refresh2(OPC_DS_DEVICE, 56, &cancel));
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kDataChange, 2, 10000));
    EXPECT_EQ(56u, s.sink->Calls()[1].transaction);
    EXPECT_GT(ProbeCalls("DLLGetObjectInfo"), readsBefore);
    EXPECT_EQ(0u, empty.sink->Calls().size());
}

TEST_F(AsyncIo, UpdateCycleReportsEveryItemEveryTimeAtItsRate) {
    Subscription s = Subscribe({L"Probe.Dev.Temp", L"Probe.Dev.Fixed"}, 1000, TRUE);
    Subscription empty = Subscribe({}, 250, TRUE);
    Sleep(4200);
    std::vector<DataCall> calls = s.sink->Calls();
    // Cycles come about one rate after the end of the last one; the values never change.
    EXPECT_GE(calls.size(), 3u);
    EXPECT_LE(calls.size(), 5u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(DataCall::kDataChange, calls[i].kind);
        EXPECT_EQ(0u, calls[i].transaction);
        EXPECT_EQ(77u, calls[i].group);
        EXPECT_EQ((std::vector<OPCHANDLE>{1, 2}), calls[i].clients);
        EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK}), calls[i].errors);
        EXPECT_EQ(S_OK, calls[i].masterQuality);
        if (i > 0) {
            const DWORD interval = calls[i].tick - calls[i - 1].tick;
            EXPECT_GE(interval, 900u);
            EXPECT_LE(interval, 2500u);
        }
    }
    EXPECT_EQ(0u, empty.sink->Calls().size()) << "a group without items never calls";
}

TEST_F(AsyncIo, AnInactiveGroupIsSilentUntilItIsMadeActive) {
    Subscription s = Subscribe({L"Probe.Dev.Temp", L"Probe.Dev.Poor"}, 250, FALSE);
    Sleep(1200);
    EXPECT_EQ(0u, s.sink->Calls().size());
    BOOL active = TRUE;
    DWORD revised = 0;
    const DWORD activated = GetTickCount();
    ASSERT_EQ(S_OK, s.added.state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr,
                                            nullptr));
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kDataChange, 1, 5000));
    const DataCall first = s.sink->Calls()[0];
    EXPECT_LT(first.tick - activated, 1000u) << "the first cycle comes at once, not a rate later";
    EXPECT_EQ(S_FALSE, first.masterQuality) << "one item's quality is not good";
    EXPECT_EQ(S_OK, first.masterError);
    EXPECT_EQ((std::vector<WORD>{OPC_QUALITY_GOOD, 0x40}), first.qualities);

    active = FALSE;
    ASSERT_EQ(S_OK, s.added.state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr,
                                            nullptr));
    Sleep(300);  // a cycle that had started may still report
    const size_t seen = s.sink->Calls().size();
    Sleep(1000);
    EXPECT_EQ(seen, s.sink->Calls().size());
}

TEST_F(AsyncIo, EverySinkOfTheGroupHearsEveryCallback) {
    Subscription s = Subscribe({L"Probe.Dev.Count"}, 1000, FALSE);
    ComPtr<RecordingSink> second = RecordingSink::Make();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, s.Advise(second.Get(), &cookie));
    ASSERT_EQ(S_OK, AsyncRead(s.io.Get(), {handles_[0]}, 1).hr);
    ASSERT_EQ(S_OK, AsyncWrite(s.io.Get(), {handles_[0]}, {I4(7)}, 2).hr);
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, s.io->Refresh2(OPC_DS_CACHE, 3, &cancel));
    for (RecordingSink* sink : {s.sink.Get(), second.Get()}) {
        EXPECT_TRUE(sink->WaitFor(DataCall::kReadComplete, 1, 10000));
        EXPECT_TRUE(sink->WaitFor(DataCall::kWriteComplete, 1, 10000));
        EXPECT_TRUE(sink->WaitFor(DataCall::kDataChange, 1, 10000));
    }
    // Once unadvised, a sink hears nothing more.
    ASSERT_EQ(S_OK, s.point->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, s.point->Unadvise(cookie));
    ASSERT_EQ(S_OK, s.io->Refresh2(OPC_DS_CACHE, 4, &cancel));
    EXPECT_TRUE(s.sink->WaitFor(DataCall::kDataChange, 2, 10000));
    Sleep(200);
    EXPECT_EQ(1u, second->Count(DataCall::kDataChange));

    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, s.added.state.As(container));
    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(CONNECT_E_NOCONNECTION,
              container->FindConnectionPoint(IID_IOPCShutdown, other.Put()));
}

TEST_F(AsyncIo, ACallbackMayCallTheGroupAgain) {
    Subscription s = Subscribe({L"Probe.Dev.Temp"}, 250, TRUE);
    std::atomic<int> started{0};
    IOPCAsyncIO2* io = s.io.Get();
    IOPCGroupStateMgt* state = s.added.state.Get();
    const OPCHANDLE handle = handles_[0];
    std::atomic<int> readAgain{0};
    s.sink->SetHook([&](const DataCall& call) {
        // From inside a read's completion: the next read.
        if (call.kind == DataCall::kReadComplete && call.transaction == 600 &&
            readAgain.exchange(1) == 0)
            AsyncRead(io, {handle}, 601);
        if (call.kind != DataCall::kDataChange || started.exchange(1) != 0) return;
        // From inside the cycle's callback: a new read, and a state change of the group.
        AsyncRead(io, {handle}, 600);
        DWORD rate = 500, revised = 0;
        state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
    });
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kReadComplete, 2, 15000)) << "no deadlock";
    EXPECT_EQ(601u, s.sink->Calls(DataCall::kReadComplete)[1].transaction);
    EXPECT_TRUE(s.sink->WaitFor(DataCall::kDataChange, 3, 15000)) << "the cycles go on";
    s.sink->SetHook(nullptr);
    EXPECT_EQ(500u, StateOf(state).rate);
}

TEST_F(AsyncIo, AGroupReleasedOrRemovedWithATransactionPendingEndsCleanly) {
    // Released by its client: the pending read still reports, then the group goes.
    {
        Subscription s = Subscribe({L"Probe.Dev.Temp"}, 1000, FALSE);
        ASSERT_EQ(S_OK, AsyncRead(s.io.Get(), {handles_[0]}, 70).hr);
        ComPtr<RecordingSink> sink = s.sink;
        s = Subscription();
        EXPECT_TRUE(sink->WaitFor(DataCall::kReadComplete, 1, 10000));
    }
    // Removed by force: no callback after the removal, and no harm.
    {
        Subscription s = Subscribe({L"Probe.Dev.Temp"}, 1000, FALSE);
        ASSERT_EQ(S_OK, AsyncRead(s.io.Get(), {handles_[0]}, 71).hr);
        ASSERT_EQ(S_OK, server_->RemoveGroup(s.added.handle, TRUE));
        Sleep(kSlowUpdateMs + 700);
        EXPECT_EQ(0u, s.sink->Calls().size());
    }
    // Removed without force while the client holds it and a read is pending: in use, and
    // the read still reports.
    {
        Subscription s = Subscribe({L"Probe.Dev.Temp"}, 1000, FALSE);
        ASSERT_EQ(S_OK, AsyncRead(s.io.Get(), {handles_[0]}, 73).hr);
        EXPECT_EQ(OPC_S_INUSE, server_->RemoveGroup(s.added.handle, FALSE));
        EXPECT_TRUE(s.sink->WaitFor(DataCall::kReadComplete, 1, 10000));
    }
    // The server object released as well while a read of its group is pending.
    {
        Subscription s = Subscribe({L"Probe.Dev.Temp"}, 1000, FALSE);
        ASSERT_EQ(S_OK, AsyncRead(s.io.Get(), {handles_[0]}, 72).hr);
        server_.Reset();
        EXPECT_TRUE(s.sink->WaitFor(DataCall::kReadComplete, 1, 10000));
    }
    server_ = install_->ConnectAs<IOPCServer>();
    ASSERT_TRUE(server_);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server_->GetStatus(&status));
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

// A client process on the same (public) group is killed while subscribed: this client's
// callbacks keep their rate.
TEST_F(AsyncIo, AClientKilledWhileSubscribedDoesNotSlowTheOthers) {
    Subscription s = Subscribe({L"Probe.Dev.Temp", L"Probe.Dev.Count"}, 250, TRUE, L"Shared");
    ASSERT_EQ(S_OK, MoveToPublic(s.added.state.Get()));
    ChildRun child = RunChild(L"subscriber_client.exe", L"Shared 1500", 60000);
    EXPECT_EQ(9u, child.exitCode) << child.out << child.err;
    EXPECT_NE(std::string::npos, child.out.find("callbacks ")) << child.out;
    EXPECT_EQ(std::string::npos, child.out.find("callbacks 0")) << child.out;
    const size_t before = s.sink->Count(DataCall::kDataChange);
    Sleep(3000);
    std::vector<DataCall> calls = s.sink->Calls(DataCall::kDataChange);
    ASSERT_GT(calls.size(), before + 5) << "callbacks go on after the other client died";
    for (size_t i = before + 1; i < calls.size(); ++i)
        EXPECT_LT(calls[i].tick - calls[i - 1].tick, 1500u);
}

}  // namespace

// A cycle whose values weigh more than one answer may carry goes out in several callbacks,
// every item once and in the order added, none of them beyond the budget.
TEST_F(AsyncIo, ACycleTooHeavyForOneCallbackGoesOutInSeveral) {
    std::vector<std::wstring> ids(40, L"Probe.Dev.Text");
    Subscription s = Subscribe(ids, 5000, FALSE);
    ComPtr<IOPCSyncIO> sync;
    ASSERT_EQ(S_OK, s.added.state.As(sync));
    // Two million bytes in the tag, and so in each of the forty items at the next cycle.
    const std::wstring big(1000000, L'x');
    VARIANT value;
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocStringLen(big.data(), static_cast<UINT>(big.size()));
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync->Write(1, &handles_[0], &value, &errors));
    CoTaskMemFree(errors);
    VariantClear(&value);

    BOOL active = TRUE;
    DWORD revised = 0;
    ASSERT_EQ(S_OK, s.added.state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr,
                                            nullptr));
    ASSERT_TRUE(s.sink->WaitFor(DataCall::kDataChange, 2, 30000));
    active = FALSE;
    s.added.state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);

    std::vector<DataCall> calls = s.sink->Calls(DataCall::kDataChange);
    std::vector<OPCHANDLE> clients;
    size_t callbacks = 0;
    for (const DataCall& call : calls) {
        ++callbacks;
        EXPECT_LE(call.clients.size() * 2000000, kMaxReplyBytes);
        for (size_t i = 0; i < call.clients.size(); ++i) {
            clients.push_back(call.clients[i]);
            ASSERT_EQ(VT_BSTR, call.values[i].Type());
            EXPECT_EQ(1000000u, SysStringLen(V_BSTR(call.values[i].Get())));
        }
        if (clients.size() >= 40) break;
    }
    EXPECT_GE(callbacks, 2u);
    ASSERT_EQ(40u, clients.size());
    for (OPCHANDLE i = 0; i < 40; ++i) EXPECT_EQ(i + 1, clients[i]);
}
