// Percent deadbands of single items (IOPCItemDeadbandMgt) through a real client: what each
// call answers per item, and how an item's deadband takes the group's place in the
// changes-only cycle. Flow has the engineering range 0-200; Level, Count and Text have none.
#include <windows.h>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

#include "reporting_client.h"

namespace {

constexpr OPCHANDLE kNoItem = 0xBADF00D;

ComPtr<IOPCItemDeadbandMgt> DeadbandsOf(const Watched& w) {
    ComPtr<IOPCItemDeadbandMgt> d;
    EXPECT_EQ(S_OK, w.added.state.As(d));
    return d;
}

struct Outcome {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<FLOAT> deadbands;  // Get only
};

Outcome Take(HRESULT hr, DWORD count, HRESULT* errors, FLOAT* deadbands = nullptr) {
    Outcome o;
    o.hr = hr;
    if (errors) o.errors.assign(errors, errors + count);
    if (deadbands) o.deadbands.assign(deadbands, deadbands + count);
    CoTaskMemFree(errors);
    CoTaskMemFree(deadbands);
    return o;
}

Outcome Set(IOPCItemDeadbandMgt* d, std::vector<OPCHANDLE> h, std::vector<FLOAT> percent) {
    HRESULT* errors = nullptr;
    const DWORD n = static_cast<DWORD>(h.size());
    const HRESULT hr = d->SetItemDeadband(n, h.data(), percent.data(), &errors);
    return Take(hr, n, errors);
}

Outcome Get(IOPCItemDeadbandMgt* d, std::vector<OPCHANDLE> h) {
    HRESULT* errors = nullptr;
    FLOAT* deadbands = nullptr;
    const DWORD n = static_cast<DWORD>(h.size());
    const HRESULT hr = d->GetItemDeadband(n, h.data(), &deadbands, &errors);
    return Take(hr, n, errors, deadbands);
}

Outcome Clear(IOPCItemDeadbandMgt* d, std::vector<OPCHANDLE> h) {
    HRESULT* errors = nullptr;
    const DWORD n = static_cast<DWORD>(h.size());
    const HRESULT hr = d->ClearItemDeadband(n, h.data(), &errors);
    return Take(hr, n, errors);
}

using Errors = std::vector<HRESULT>;

class ItemDeadbandChangesOnly : public ChangesOnly {};
class ItemDeadbandEveryItem : public EveryItem {};

TEST_F(ItemDeadbandChangesOnly, EachCallAnswersPerItem) {
    Watched w = Watch(0.0f, kIds, TRUE, false);
    ComPtr<IOPCItemDeadbandMgt> d = DeadbandsOf(w);
    ASSERT_TRUE(d);
    const OPCHANDLE flow = w.handles[0], level = w.handles[1], count = w.handles[2],
                    text = w.handles[3];

    Outcome get = Get(d.Get(), {flow, level, kNoItem});
    EXPECT_EQ(S_FALSE, get.hr);
    EXPECT_EQ((Errors{OPC_E_DEADBANDNOTSET, OPC_E_DEADBANDNOTSUPPORTED, OPC_E_INVALIDHANDLE}),
              get.errors);

    Outcome set = Set(d.Get(), {flow, level, count, text, kNoItem}, {25, 25, 25, 25, 25});
    EXPECT_EQ(S_FALSE, set.hr);
    EXPECT_EQ((Errors{S_OK, OPC_E_DEADBANDNOTSUPPORTED, OPC_E_DEADBANDNOTSUPPORTED,
                      OPC_E_DEADBANDNOTSUPPORTED, OPC_E_INVALIDHANDLE}),
              set.errors);
    const FLOAT nan = std::numeric_limits<FLOAT>::quiet_NaN();
    set = Set(d.Get(), {flow, flow, flow, flow}, {-0.5f, 100.5f, nan, -nan});
    EXPECT_EQ(S_FALSE, set.hr);
    EXPECT_EQ(Errors(4, E_INVALIDARG), set.errors);
    get = Get(d.Get(), {flow});
    EXPECT_EQ(S_OK, get.hr) << "a refused value leaves the deadband as it was";
    EXPECT_EQ(std::vector<FLOAT>{25.0f}, get.deadbands);
    for (FLOAT edge : {0.0f, 100.0f}) {
        EXPECT_EQ(S_OK, Set(d.Get(), {flow}, {edge}).hr);
        EXPECT_EQ(std::vector<FLOAT>{edge}, Get(d.Get(), {flow}).deadbands);
    }

    Outcome clear = Clear(d.Get(), {flow, level, kNoItem});
    EXPECT_EQ(S_FALSE, clear.hr);
    EXPECT_EQ((Errors{S_OK, OPC_E_DEADBANDNOTSUPPORTED, OPC_E_INVALIDHANDLE}), clear.errors);
    EXPECT_EQ((Errors{OPC_E_DEADBANDNOTSET}), Clear(d.Get(), {flow}).errors);
    EXPECT_EQ((Errors{OPC_E_DEADBANDNOTSET}), Get(d.Get(), {flow}).errors);

    // An empty call is refused whole, with no arrays handed back.
    OPCHANDLE any = flow;
    FLOAT percent = 1;
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    FLOAT* deadbands = reinterpret_cast<FLOAT*>(1);
    EXPECT_EQ(E_INVALIDARG, d->SetItemDeadband(0, &any, &percent, &errors));
    EXPECT_EQ(nullptr, errors);
    errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(E_INVALIDARG, d->GetItemDeadband(0, &any, &deadbands, &errors));
    EXPECT_EQ(nullptr, errors);
    EXPECT_EQ(nullptr, deadbands);
    errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(E_INVALIDARG, d->ClearItemDeadband(0, &any, &errors));
    EXPECT_EQ(nullptr, errors);
}

// The group's 10 % is 20 of Flow's span, the item's 1 % is 2: the item's decides, and once
// cleared the group's decides again, also about a value held back before.
TEST_F(ItemDeadbandChangesOnly, AnItemsDeadbandTakesTheGroupsPlaceUntilCleared) {
    Watched w = Watch(10.0f, {L"Probe.Dev.Flow"});
    ComPtr<IOPCItemDeadbandMgt> d = DeadbandsOf(w);
    ASSERT_TRUE(d);
    const OPCHANDLE flow = w.handles[0];
    w.Next(0);
    ASSERT_EQ(S_OK, Set(d.Get(), {flow}, {1.0f}).hr);
    w.Write(1, R8(51.9));  // 1.9 from what was sent
    Sleep(kQuietMs);
    EXPECT_EQ(1u, w.Changes().size()) << "just below the item's deadband";
    w.Write(1, R8(52.1));  // 2.1
    DataCall c = w.Next(1);
    ASSERT_EQ(1u, c.values.size()) << "just above the item's deadband";
    EXPECT_DOUBLE_EQ(52.1, V_R8(c.values[0].Get()));

    ASSERT_EQ(S_OK, Set(d.Get(), {flow}, {50.0f}).hr);  // 100
    w.Write(1, R8(80.0));                               // 27.9: more than the group's 20
    Sleep(kQuietMs);
    EXPECT_EQ(2u, w.Changes().size()) << "the item's wider deadband holds it back";
    ASSERT_EQ(S_OK, Clear(d.Get(), {flow}).hr);
    c = w.Next(2);
    ASSERT_EQ(1u, c.values.size()) << "under the group's deadband again, the value is due";
    EXPECT_DOUBLE_EQ(80.0, V_R8(c.values[0].Get()));
    w.Write(1, R8(50.0));
}

// Item records are reused: a new item in a removed one's place starts without a deadband.
TEST_F(ItemDeadbandChangesOnly, AnItemAddedAgainHasNone) {
    Watched w = Watch(0.0f, {L"Probe.Dev.Flow"}, TRUE, false);
    ComPtr<IOPCItemDeadbandMgt> d = DeadbandsOf(w);
    ASSERT_TRUE(d);
    OPCHANDLE flow = w.handles[0];
    ASSERT_EQ(S_OK, Set(d.Get(), {flow}, {30.0f}).hr);
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, w.items->RemoveItems(1, &flow, &errors));
    CoTaskMemFree(errors);
    Added again = AddItems(w.items.Get(), {L"Probe.Dev.Flow"});
    ASSERT_EQ(S_OK, again.hr);
    EXPECT_EQ((Errors{OPC_E_DEADBANDNOTSET}), Get(d.Get(), {again[0]}).errors);
}

// With every item sent every cycle the deadband is kept, as the group's is, and changes
// nothing.
TEST_F(ItemDeadbandEveryItem, IsStoredAndEveryCycleStillSendsTheItem) {
    Watched w = Watch(0.0f, {L"Probe.Dev.Flow"});
    ComPtr<IOPCItemDeadbandMgt> d = DeadbandsOf(w);
    ASSERT_TRUE(d);
    ASSERT_EQ(S_OK, Set(d.Get(), {w.handles[0]}, {100.0f}).hr);
    EXPECT_EQ(std::vector<FLOAT>{100.0f}, Get(d.Get(), {w.handles[0]}).deadbands);
    const size_t seen = w.Changes().size();
    ASSERT_TRUE(w.sink->WaitFor(DataCall::kDataChange, seen + 3, kWaitMs));
    EXPECT_EQ(1u, w.Changes().back().clients.size());
}

}  // namespace
