// Reporting by exception through a real client connection: the server runs with "report changes
// only" stored before it starts, and this process's sinks see which items each cycle sends.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "data_stream.h"
#include "recording_advise_sink.h"
#include "reporting_client.h"

namespace {

TEST_F(ChangesOnly, TheFirstCycleSendsEverythingThenOnlyWhatChangedAndQuietCyclesSendNothing) {
    EXPECT_NE(std::wstring::npos, VendorInfo().find(L"reports changes only"));
    Watched w = Watch(0.0f);
    EXPECT_EQ(kAll, Clients(w.Next(0)));
    Sleep(kQuietMs);
    EXPECT_EQ(1u, w.Changes().size()) << "cycles without changes must send nothing";

    w.Write(3, I4(8));
    const DataCall c = w.Next(1);
    ASSERT_EQ(std::vector<OPCHANDLE>{3}, c.clients);
    EXPECT_EQ(8, V_I4(c.values[0].Get()));
    EXPECT_EQ(0u, c.transaction);
    Sleep(kQuietMs);
    EXPECT_EQ(2u, w.Changes().size());
    for (const DataCall& call : w.Changes()) EXPECT_FALSE(call.clients.empty());
}

TEST_F(ChangesOnly, AQualityChangeSendsTheItemsAndSoDoesItsEnd) {
    Watched w = Watch(50.0f);
    w.Next(0);
    {
        HANDLE f = CreateFileA(badFile_->File("bad").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, f);
        CloseHandle(f);
    }
    const DataCall bad = w.Next(1);
    DeleteFileA(badFile_->File("bad").c_str());
    EXPECT_EQ(kAll, Clients(bad)) << "a quality change counts whatever the deadband";
    for (WORD q : bad.qualities) EXPECT_EQ(0x40, q);
    EXPECT_EQ(S_FALSE, bad.masterQuality);
    const DataCall good = w.Next(2);
    EXPECT_EQ(kAll, Clients(good));
    for (WORD q : good.qualities) EXPECT_EQ(OPC_QUALITY_GOOD, q);
}

// The span of Flow is 200: 10 % is 20, counted from the value last sent (50).
TEST_F(ChangesOnly, AnAnalogItemIsSentWhenItMovesByMoreThanTheDeadbandOfItsRange) {
    Watched w = Watch(10.0f, {L"Probe.Dev.Flow"});
    ASSERT_EQ(1u, w.Next(0).clients.size());
    w.Write(1, R8(69.5));  // 19.5 from what was sent
    Sleep(kQuietMs);
    EXPECT_EQ(1u, w.Changes().size());
    w.Write(1, R8(30.5));  // still 19.5 from 50, the other way
    Sleep(kQuietMs);
    EXPECT_EQ(1u, w.Changes().size());
    w.Write(1, R8(70.5));  // 20.5 from 50
    const DataCall c = w.Next(1);
    ASSERT_EQ(1u, c.clients.size());
    EXPECT_DOUBLE_EQ(70.5, V_R8(c.values[0].Get()));
    w.Write(1, R8(80.0));  // 9.5 from the new reference
    Sleep(kQuietMs);
    EXPECT_EQ(2u, w.Changes().size());
    w.Write(1, R8(50.0));
}

TEST_F(ChangesOnly, ADeadbandOfZeroSendsEveryChangeAndItemsWithoutRangeIgnoreTheDeadband) {
    Watched zero = Watch(0.0f, {L"Probe.Dev.Flow"});
    Watched ranged = Watch(50.0f, {L"Probe.Dev.Level", L"Probe.Dev.Count", L"Probe.Dev.Text"});
    zero.Next(0);
    ranged.Next(0);
    zero.Write(1, R8(50.001));
    EXPECT_EQ(std::vector<OPCHANDLE>{1}, zero.Next(1).clients);
    ranged.Write(1, R8(5.001));  // Level: no range, so a deadband of 50 % means nothing
    EXPECT_EQ(std::vector<OPCHANDLE>{1}, ranged.Next(1).clients);
    ranged.Write(2, I4(9));  // Count, not analog
    EXPECT_EQ(std::vector<OPCHANDLE>{2}, ranged.Next(2).clients);
    zero.Write(1, R8(50.0));
    ranged.Write(1, R8(5.0));
    ranged.Write(2, I4(7));
}

TEST_F(ChangesOnly, GroupsWithDifferentDeadbandsOnOneTagEachApplyTheirOwn) {
    Watched coarse = Watch(10.0f, {L"Probe.Dev.Flow"});
    Watched fine = Watch(1.0f, {L"Probe.Dev.Flow"});
    coarse.Next(0);
    fine.Next(0);
    coarse.Write(1, R8(55.0));  // 2.5 % of the span
    const DataCall c = fine.Next(1);
    ASSERT_EQ(1u, c.clients.size());
    EXPECT_DOUBLE_EQ(55.0, V_R8(c.values[0].Get()));
    Sleep(kQuietMs);
    EXPECT_EQ(1u, coarse.Changes().size());
    coarse.Write(1, R8(50.0));
}

TEST_F(ChangesOnly, RefreshSendsEveryItemAndActivationAndNewItemsStartWithEverything) {
    Watched w = Watch(0.0f);
    w.Next(0);
    ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(S_OK, w.added.state.As(async));
    DWORD cancel = 0;
    ASSERT_EQ(S_OK, async->Refresh2(OPC_DS_CACHE, 55, &cancel));
    const DataCall refresh = w.Next(1);
    EXPECT_EQ(55u, refresh.transaction);
    EXPECT_EQ(kAll, Clients(refresh));

    BOOL off = FALSE, on = TRUE;
    DWORD revised = 0;
    ASSERT_EQ(S_OK,
              w.added.state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr));
    Sleep(kQuietMs);
    const size_t before = w.Changes().size();
    ASSERT_EQ(S_OK,
              w.added.state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(kAll, Clients(w.Next(before)));

    Added more = AddItems(w.items.Get(), {L"Probe.Dev.Count"}, 9);
    ASSERT_EQ(S_OK, more.hr);
    EXPECT_EQ(std::vector<OPCHANDLE>{9}, w.Next(before + 1).clients);
}

TEST_F(ChangesOnly, InactiveItemsAreNotSentAndAreSentOnceActiveAgain) {
    Watched w = Watch(0.0f);
    w.Next(0);
    HRESULT* errors = nullptr;
    OPCHANDLE count = w.handles[2];
    ASSERT_EQ(S_OK, w.items->SetActiveState(1, &count, FALSE, &errors));
    CoTaskMemFree(errors);
    w.Write(3, I4(11));
    w.Write(2, R8(6.0));
    EXPECT_EQ(std::vector<OPCHANDLE>{2}, w.Next(1).clients);
    ASSERT_EQ(S_OK, w.items->SetActiveState(1, &count, TRUE, &errors));
    CoTaskMemFree(errors);
    const DataCall c = w.Next(2);
    ASSERT_EQ(std::vector<OPCHANDLE>{3}, c.clients);
    EXPECT_EQ(11, V_I4(c.values[0].Get()));
    w.Write(3, I4(7));
    w.Write(2, R8(5.0));
}

TEST_F(ChangesOnly, ADeadbandOutsideZeroToHundredIsRefused) {
    Watched w = Watch(0.0f, {L"Probe.Dev.Flow"}, TRUE, false);
    DWORD revised = 0;
    for (FLOAT bad : {-0.5f, 100.5f, std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(E_INVALIDARG, w.added.state->SetState(nullptr, &revised, nullptr, nullptr, &bad,
                                                        nullptr, nullptr));
        AddedGroup g = AddGroupTo(server_.Get(), L"Bad", kRate, TRUE, nullptr, &bad);
        EXPECT_EQ(E_INVALIDARG, g.hr);
    }
    FLOAT edge = 100.0f;
    EXPECT_EQ(S_OK, w.added.state->SetState(nullptr, &revised, nullptr, nullptr, &edge, nullptr,
                                            nullptr));
    EXPECT_EQ(100.0f, StateOf(w.added.state.Get()).deadband);
}

TEST_F(ChangesOnly, TheDa1CycleStreamCarriesOnlyWhatChanged) {
    Watched w = Watch(0.0f, kIds, TRUE, false);
    ComPtr<IDataObject> data;
    ASSERT_EQ(S_OK, w.added.state.As(data));
    ComPtr<RecordingAdviseSink> sink = RecordingAdviseSink::Make();
    FORMATETC f{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")), nullptr,
                DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    ASSERT_EQ(S_OK, data->DAdvise(&f, 0, sink.Get(), &connection));
    ASSERT_TRUE(sink->WaitFor(1, kWaitMs));
    w.Write(3, I4(12));
    ASSERT_TRUE(sink->WaitFor(2, kWaitMs));
    Sleep(kQuietMs);
    const std::vector<ReceivedStream> streams = sink->Streams();
    ASSERT_EQ(2u, streams.size());
    opcstream::ReadStream first, second;
    ASSERT_TRUE(opcstream::ReadData(opcstream::Format::kDataTime, streams[0].bytes.data(),
                                    streams[0].bytes.size(), first));
    ASSERT_TRUE(opcstream::ReadData(opcstream::Format::kDataTime, streams[1].bytes.data(),
                                    streams[1].bytes.size(), second));
    EXPECT_EQ(4u, first.items.size());
    ASSERT_EQ(1u, second.items.size());
    EXPECT_EQ(3u, second.items[0].client);
    EXPECT_EQ(12, V_I4(second.items[0].value.Get()));
    data->DUnadvise(connection);
    w.Write(3, I4(7));
}

// The old way: every item in every cycle, changed or not, whatever the deadband, which is
// stored unchecked.
TEST_F(EveryItem, EveryCycleSendsEveryItemAndTheDeadbandIsOnlyStored) {
    EXPECT_EQ(std::wstring::npos, VendorInfo().find(L"changes only"));
    Watched w = Watch(50.0f);
    ASSERT_TRUE(w.sink->WaitFor(DataCall::kDataChange, 4, kWaitMs));
    for (const DataCall& c : w.Changes()) EXPECT_EQ(kAll, Clients(c));
    FLOAT odd = 150.0f;
    DWORD revised = 0;
    EXPECT_EQ(S_OK,
              w.added.state->SetState(nullptr, &revised, nullptr, nullptr, &odd, nullptr, nullptr));
    EXPECT_EQ(150.0f, StateOf(w.added.state.Get()).deadband);
}

}  // namespace
