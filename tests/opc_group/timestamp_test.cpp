// Item timestamps through a real client connection, with this process and the server it starts
// in Moscow's time zone (UTC+3 all year; CTest sets TZ, and the server started by COM inherits
// this process's environment). The probe stamps every tag with one fixed UTC time, so every
// path must hand the client exactly that FILETIME, whatever the group's time bias: the bias
// only tells the client where the data came from. The "Item Timestamp" property alone is in
// local time, as a VT_DATE without milliseconds.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "data_stream.h"
#include "opc_client_fixture.h"
#include "recording_advise_sink.h"
#include "recording_sink.h"

namespace {

// 2026-07-15 09:30:45.678 UTC, as the probe's stamp.
constexpr ULONGLONG kStampTicks = 134285814456780000ULL;
constexpr LONG kMoscowBias = -180;

FILETIME Stamp() {
    return FILETIME{static_cast<DWORD>(kStampTicks), static_cast<DWORD>(kStampTicks >> 32)};
}

ULONGLONG TicksOf(const FILETIME& t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// The biases a client may give (Moscow's, the zone of both processes here, and New York's) and
// none at all (the group then takes the server's zone).
struct BiasCase {
    const wchar_t* name;
    bool given;
    LONG bias;
};
const BiasCase kBiases[] = {{L"Moscow", true, -180}, {L"NewYork", true, 300}, {L"None", false, 0}};

class Timestamps : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        install_ = new ServerInstallation(std::string(ServerInstallation::kProbeTree) +
                                          "stamp=" + std::to_string(kStampTicks) + "\n");
        registered_ = install_->Run("/RegServer");
    }

    // A group with the case's bias and the items Temp and Text as clients 1 and 2.
    AddedGroup Group(const BiasCase& c, BOOL active, DWORD rate, std::vector<OPCHANDLE>& handles) {
        LONG bias = c.bias;
        const std::wstring name = c.name + std::to_wstring(++groups_);
        AddedGroup g =
            AddGroupTo(server_.Get(), name.c_str(), rate, active, c.given ? &bias : nullptr);
        EXPECT_EQ(S_OK, g.hr);
        EXPECT_EQ(c.given ? c.bias : kMoscowBias, StateOf(g.state.Get()).bias)
            << "the bias is kept as given (or the server's zone) and reported";
        ComPtr<IOPCItemMgt> items;
        EXPECT_EQ(S_OK, g.state.As(items));
        Added a = AddItems(items.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Text"});
        EXPECT_EQ(S_OK, a.hr);
        handles.clear();
        for (const OPCITEMRESULT& r : a.results) handles.push_back(r.hServer);
        return g;
    }

    int groups_ = 0;
};

void ExpectStamped(const std::vector<FILETIME>& times, size_t count) {
    ASSERT_EQ(count, times.size());
    for (const FILETIME& t : times) EXPECT_EQ(kStampTicks, TicksOf(t));
}

TEST_F(Timestamps, TheTestRunsInANonUtcZone) {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    ASSERT_EQ(kMoscowBias, zone.Bias) << "CTest gives this test TZ=Europe/Moscow";
}

TEST_F(Timestamps, SynchronousReadsFromDeviceAndCacheGiveTheDriversTime) {
    for (const BiasCase& c : kBiases) {
        SCOPED_TRACE(testing::Message() << "bias " << c.name);
        std::vector<OPCHANDLE> handles;
        AddedGroup g = Group(c, FALSE, 1000, handles);
        ComPtr<IOPCSyncIO> io;
        ASSERT_EQ(S_OK, g.state.As(io));
        for (OPCDATASOURCE source : {OPC_DS_DEVICE, OPC_DS_CACHE}) {
            OPCITEMSTATE* states = nullptr;
            HRESULT* errors = nullptr;
            ASSERT_EQ(S_OK, io->Read(source, 2, handles.data(), &states, &errors));
            std::vector<FILETIME> times;
            for (int i = 0; i < 2; ++i) {
                times.push_back(states[i].ftTimeStamp);
                VariantClear(&states[i].vDataValue);
            }
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
            ExpectStamped(times, 2);
        }

        // A clone keeps the bias (not the items), and its reads are no more shifted than the
        // original's.
        ComPtr<IOPCGroupStateMgt> clone;
        const std::wstring cloneName = std::wstring(c.name) + L"Clone" + std::to_wstring(groups_);
        ASSERT_EQ(S_OK, g.state->CloneGroup(cloneName.c_str(), IID_IOPCGroupStateMgt,
                                            reinterpret_cast<IUnknown**>(clone.Put())));
        EXPECT_EQ(StateOf(g.state.Get()).bias, StateOf(clone.Get()).bias);
        ComPtr<IOPCSyncIO> cloneIo;
        ASSERT_EQ(S_OK, clone.As(cloneIo));
        ComPtr<IOPCItemMgt> cloneItems;
        ASSERT_EQ(S_OK, clone.As(cloneItems));
        Added cloned = AddItems(cloneItems.Get(), {L"Probe.Dev.Temp"});
        ASSERT_EQ(S_OK, cloned.hr);
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK,
                  cloneIo->Read(OPC_DS_DEVICE, 1, &cloned.results[0].hServer, &states, &errors));
        EXPECT_EQ(kStampTicks, TicksOf(states[0].ftTimeStamp));
        VariantClear(&states[0].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
    }
}

TEST_F(Timestamps, AsynchronousReadsRefreshesAndTheCycleGiveTheDriversTime) {
    for (const BiasCase& c : kBiases) {
        SCOPED_TRACE(testing::Message() << "bias " << c.name);
        std::vector<OPCHANDLE> handles;
        AddedGroup g = Group(c, TRUE, 250, handles);
        ComPtr<IOPCAsyncIO2> io;
        ASSERT_EQ(S_OK, g.state.As(io));
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, g.state.As(container));
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
        ComPtr<RecordingSink> sink = RecordingSink::Make();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie));

        // One after the other, so that the cache refresh comes after a read of the driver.
        auto transactionCame = [&](DataCall::Kind kind, DWORD transaction) {
            for (int i = 0; i < 200; ++i) {
                for (const DataCall& d : sink->Calls(kind))
                    if (d.transaction == transaction) return true;
                Sleep(100);
            }
            return false;
        };
        DWORD cancel = 0;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK, io->Read(2, handles.data(), 11, &cancel, &errors));
        CoTaskMemFree(errors);
        ASSERT_TRUE(transactionCame(DataCall::kReadComplete, 11));
        ASSERT_EQ(S_OK, io->Refresh2(OPC_DS_DEVICE, 12, &cancel));
        ASSERT_TRUE(transactionCame(DataCall::kDataChange, 12));
        ASSERT_EQ(S_OK, io->Refresh2(OPC_DS_CACHE, 13, &cancel));
        ASSERT_TRUE(transactionCame(DataCall::kDataChange, 13));
        ASSERT_TRUE(transactionCame(DataCall::kDataChange, 0)) << "a cycle of its own";
        EXPECT_EQ(S_OK, point->Unadvise(cookie));
        size_t refreshes = 0, cycles = 0;
        for (const DataCall& d : sink->Calls()) {
            if (d.kind == DataCall::kDataChange) (d.transaction == 0 ? cycles : refreshes)++;
            ExpectStamped(d.timestamps, 2);
        }
        EXPECT_EQ(2u, refreshes);
        EXPECT_GE(cycles, 1u);
    }
}

TEST_F(Timestamps, Da1StreamsCarryTheDriversTime) {
    const CLIPFORMAT dataTime =
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"));
    for (const BiasCase& c : kBiases) {
        SCOPED_TRACE(testing::Message() << "bias " << c.name);
        std::vector<OPCHANDLE> handles;
        AddedGroup g = Group(c, TRUE, 250, handles);
        ComPtr<IDataObject> data;
        ASSERT_EQ(S_OK, g.state.As(data));
        ComPtr<IOPCAsyncIO> io;
        ASSERT_EQ(S_OK, g.state.As(io));
        // The first data-and-time connection hears the cycle; the second only what is sent to
        // it (a DA 1.0 stream carries transaction 0 whatever the call).
        ComPtr<RecordingAdviseSink> cycle = RecordingAdviseSink::Make();
        ComPtr<RecordingAdviseSink> calls = RecordingAdviseSink::Make();
        FORMATETC f{dataTime, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD cycleConnection = 0, connection = 0;
        ASSERT_EQ(S_OK, data->DAdvise(&f, 0, cycle.Get(), &cycleConnection));
        ASSERT_EQ(S_OK, data->DAdvise(&f, 0, calls.Get(), &connection));
        DWORD transaction = 0;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK,
                  io->Read(connection, OPC_DS_DEVICE, 2, handles.data(), &transaction, &errors));
        CoTaskMemFree(errors);
        ASSERT_TRUE(calls->WaitFor(1, 20000));
        // From the cache, once the driver was read.
        ASSERT_EQ(S_OK, io->Refresh(connection, OPC_DS_CACHE, &transaction));
        ASSERT_TRUE(calls->WaitFor(2, 20000));
        ASSERT_TRUE(cycle->WaitFor(1, 20000));
        EXPECT_EQ(S_OK, data->DUnadvise(connection));
        EXPECT_EQ(S_OK, data->DUnadvise(cycleConnection));
        std::vector<ReceivedStream> streams = calls->Streams();
        EXPECT_EQ(2u, streams.size());
        for (const ReceivedStream& s : cycle->Streams()) streams.push_back(s);
        for (const ReceivedStream& s : streams) {
            opcstream::ReadStream read;
            ASSERT_TRUE(opcstream::ReadData(opcstream::Format::kDataTime, s.bytes.data(),
                                            s.bytes.size(), read));
            std::vector<FILETIME> times;
            for (const opcstream::ReadItem& item : read.items) times.push_back(item.timestamp);
            ExpectStamped(times, 2);
        }

        // And the stream GetData hands out.
        STGMEDIUM got{};
        ASSERT_EQ(S_OK, data->GetData(&f, &got));
        ASSERT_EQ(static_cast<DWORD>(TYMED_HGLOBAL), got.tymed);
        const BYTE* bytes = static_cast<const BYTE*>(GlobalLock(got.hGlobal));
        opcstream::ReadStream read;
        EXPECT_TRUE(opcstream::ReadData(opcstream::Format::kDataTime, bytes,
                                        GlobalSize(got.hGlobal), read));
        GlobalUnlock(got.hGlobal);
        ReleaseStgMedium(&got);
        std::vector<FILETIME> times;
        for (const opcstream::ReadItem& item : read.items) times.push_back(item.timestamp);
        ExpectStamped(times, 2);
    }
}

// The property is this zone's local time of the driver's stamp, to the second: 12:30:45 in
// Moscow for 09:30:45.678 UTC.
TEST_F(Timestamps, TheItemTimestampPropertyIsTheLocalTimeOfTheDriversStamp) {
    // A group with another bias in the same server changes nothing about it.
    std::vector<OPCHANDLE> handles;
    AddedGroup g = Group(kBiases[1], TRUE, 250, handles);
    ComPtr<IOPCItemProperties> props;
    ASSERT_EQ(S_OK, server_.As(props));
    DWORD id = 4;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, props->GetItemProperties(const_cast<wchar_t*>(L"Probe.Dev.Temp"), 1, &id,
                                             &values, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    ASSERT_EQ(VT_DATE, V_VT(&values[0]));
    SYSTEMTIME moscow{2026, 7, 3, 15, 12, 30, 45, 0};
    double expected = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&moscow, &expected));
    EXPECT_DOUBLE_EQ(expected, V_DATE(&values[0]));
    // The same as this process makes of the stamp with the platform's own conversion.
    FILETIME stamp = Stamp(), local{};
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&stamp, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(12, st.wHour);
    VariantClear(&values[0]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

}  // namespace
