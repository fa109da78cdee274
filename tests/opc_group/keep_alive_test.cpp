// Keep-alive callbacks (IOPCGroupStateMgt2) seen by a real client: an OnDataChange without
// items when the group has sent its subscriber nothing for the keep-alive time, and none while
// data flows.
#include <windows.h>
#include <gtest/gtest.h>
#include <vector>

#include "reporting_client.h"

namespace {

ComPtr<IOPCGroupStateMgt2> KeepAliveOf(const Watched& w) {
    ComPtr<IOPCGroupStateMgt2> state;
    EXPECT_EQ(S_OK, w.added.state.As(state));
    return state;
}

DWORD SetKeepAlive(const Watched& w, DWORD ms, HRESULT expected = S_OK) {
    DWORD revised = 12345;
    EXPECT_EQ(expected, KeepAliveOf(w)->SetKeepAlive(ms, &revised)) << ms;
    return revised;
}

std::vector<DataCall> KeepAlives(Watched& w) {
    std::vector<DataCall> empty;
    for (DataCall& c : w.Changes())
        if (c.clients.empty()) empty.push_back(std::move(c));
    return empty;
}

// Waits until `count` keep-alives have come, at most `ms`.
bool WaitForKeepAlives(Watched& w, size_t count, DWORD ms) {
    const DWORD start = GetTickCount();
    while (KeepAlives(w).size() < count) {
        if (GetTickCount() - start > ms) return false;
        Sleep(20);
    }
    return true;
}

class KeepAliveChangesOnly : public ChangesOnly {};
class KeepAliveEveryItem : public EveryItem {};

TEST_F(KeepAliveChangesOnly, TheTimeIsRevisedUpToTheShortestKeptAndZeroTurnsItOff) {
    Watched w = Watch(0.0f, {L"Probe.Dev.Flow"}, TRUE, false);
    ComPtr<IOPCGroupStateMgt2> state = KeepAliveOf(w);
    ASSERT_TRUE(state);
    DWORD now = 12345;
    ASSERT_EQ(S_OK, state->GetKeepAlive(&now));
    EXPECT_EQ(0u, now) << "a new group has no keep-alive";

    EXPECT_EQ(250u, SetKeepAlive(w, 1, OPC_S_UNSUPPORTEDRATE));
    EXPECT_EQ(250u, SetKeepAlive(w, 249, OPC_S_UNSUPPORTEDRATE));
    ASSERT_EQ(S_OK, state->GetKeepAlive(&now));
    EXPECT_EQ(250u, now) << "the time in force is the revised one";
    EXPECT_EQ(250u, SetKeepAlive(w, 250));
    EXPECT_EQ(0xFFFFFFFFu, SetKeepAlive(w, 0xFFFFFFFF));
    ASSERT_EQ(S_OK, state->GetKeepAlive(&now));
    EXPECT_EQ(0xFFFFFFFFu, now);
    EXPECT_EQ(0u, SetKeepAlive(w, 0));
    ASSERT_EQ(S_OK, state->GetKeepAlive(&now));
    EXPECT_EQ(0u, now);

    // The DA 2.0 state interface is the same object's, through either pointer.
    ComPtr<IOPCGroupStateMgt> old;
    ASSERT_EQ(S_OK, state.As(old));
    EXPECT_EQ(S_OK, StateOf(old.Get()).hr);
    EXPECT_EQ(S_OK, StateOf(state.Get()).hr);
    EXPECT_EQ(kRate, StateOf(state.Get()).rate);
}

TEST_F(KeepAliveChangesOnly, AQuietGroupSendsEmptyCallbacksAtTheKeepAliveTime) {
    Watched w = Watch(0.0f);
    EXPECT_EQ(kAll, Clients(w.Next(0)));
    constexpr DWORD kKeepAlive = 400;
    SetKeepAlive(w, kKeepAlive);
    ASSERT_TRUE(WaitForKeepAlives(w, 4, kWaitMs));
    const std::vector<DataCall> beats = KeepAlives(w);
    for (const DataCall& c : beats) {
        EXPECT_EQ(0u, c.transaction);
        EXPECT_EQ(77u, c.group);
        EXPECT_EQ(S_OK, c.masterQuality);
        EXPECT_EQ(S_OK, c.masterError);
    }
    for (size_t i = 1; i < beats.size(); ++i) {
        const DWORD gap = beats[i].tick - beats[i - 1].tick;
        EXPECT_GE(gap, kKeepAlive - 30) << "not before the time";  // the tick's own grain
        EXPECT_LE(gap, kKeepAlive + 500) << "nor long after it";
    }
    SetKeepAlive(w, 0);
    const size_t seen = w.Changes().size();
    Sleep(kQuietMs);
    EXPECT_EQ(seen, w.Changes().size()) << "0 turns keep-alives off";
}

TEST_F(KeepAliveChangesOnly, NoneWhileDataFlowsAndOneSoonAfterItStops) {
    Watched w = Watch(0.0f, {L"Probe.Dev.Count"});
    w.Next(0);
    constexpr DWORD kKeepAlive = 1000;
    SetKeepAlive(w, kKeepAlive);
    for (LONG n = 100; n < 120; ++n) {  // a change every cycle or so for 3 s
        w.Write(1, I4(n));
        Sleep(150);
    }
    EXPECT_TRUE(KeepAlives(w).empty()) << "a group that sends data needs no keep-alive";
    EXPECT_GT(w.Changes().size(), 6u);
    const DWORD stopped = GetTickCount();
    ASSERT_TRUE(WaitForKeepAlives(w, 1, kWaitMs));
    EXPECT_LE(KeepAlives(w)[0].tick - stopped, kKeepAlive + 1000);
    w.Write(1, I4(7));
}

// An inactive group sends no data, and the scheduler has no cycle of it to run; the
// client still hears that the server lives.
TEST_F(KeepAliveChangesOnly, AnInactiveGroupSendsThemToo) {
    Watched w = Watch(0.0f, kIds, FALSE);
    const DWORD start = GetTickCount();
    SetKeepAlive(w, 300);
    ASSERT_TRUE(WaitForKeepAlives(w, 3, kWaitMs));
    EXPECT_EQ(w.Changes().size(), KeepAlives(w).size()) << "nothing but keep-alives";
    EXPECT_LE(KeepAlives(w)[0].tick - start, 300u + 400u);
}

// Every cycle sends every item, so an active group with items never needs a keep-alive; an
// inactive one gets them as in the other mode.
TEST_F(KeepAliveEveryItem, CyclesKeepAGroupAliveAndAnInactiveGroupGetsKeepAlives) {
    Watched busy = Watch(0.0f);
    Watched idle = Watch(0.0f, kIds, FALSE);
    busy.Next(0);
    SetKeepAlive(busy, 1000);
    SetKeepAlive(idle, 500);
    ASSERT_TRUE(WaitForKeepAlives(idle, 2, kWaitMs));
    EXPECT_TRUE(KeepAlives(busy).empty());
    EXPECT_GE(busy.Changes().size(), 3u);
}

}  // namespace
