// OPC DA 1.0 through a real client connection: this process advises its IAdviseSink on a
// group's IDataObject and receives the streams as HGLOBALs from the server process. Against
// the probe's tree (Probe.Dev.Temp R4 21.5, Count I4 7, Fixed I4 42 read-only, Text BSTR).
#include <windows.h>
#include <algorithm>
#include <set>
#include <string>
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "data_stream.h"
#include "opc_client_fixture.h"
#include "recording_advise_sink.h"
#include "recording_sink.h"

namespace {

using opcstream::Format;

CLIPFORMAT FormatNamed(const wchar_t* name) {
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name));
}

struct Da1Group {
    AddedGroup added;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IDataObject> data;
    ComPtr<IOPCAsyncIO> io;
    std::vector<OPCHANDLE> handles;

    DWORD Advise(const wchar_t* format, IAdviseSink* sink) {
        FORMATETC f{FormatNamed(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        EXPECT_EQ(S_OK, data->DAdvise(&f, 0, sink, &connection));
        return connection;
    }
};

class Da1Streams : public OpcClientTest {
  protected:
    // DLLUpdate takes 300 ms, so that a device refresh can be cancelled before it reads.
    static void SetUpTestSuite() {
        install_ = new ServerInstallation(std::string(ServerInstallation::kProbeTree) +
                                          "update_delay_ms=300\n");
        registered_ = install_->Run("/RegServer");
    }

    Da1Group Make(const std::vector<std::wstring>& ids, BOOL active, DWORD rate = 1000) {
        Da1Group g;
        g.added =
            AddGroupTo(server_.Get(), (L"D" + std::to_wstring(++groups_)).c_str(), rate, active);
        EXPECT_EQ(S_OK, g.added.state.As(g.items));
        EXPECT_EQ(S_OK, g.added.state.As(g.data));
        EXPECT_EQ(S_OK, g.added.state.As(g.io));
        if (!ids.empty()) {
            Added a = AddItems(g.items.Get(), ids);
            for (const OPCITEMRESULT& r : a.results) g.handles.push_back(r.hServer);
        }
        return g;
    }
    int groups_ = 0;
};

TEST_F(Da1Streams, TheCycleSendsItsStreamToTheFirstDataTimeConnectionOnly) {
    Da1Group g = Make({L"Probe.Dev.Temp", L"Probe.Dev.Text"}, TRUE, 250);
    // Before any advise.
    EXPECT_EQ(OLE_E_NOCONNECTION, g.data->DUnadvise(1));
    ComPtr<IEnumSTATDATA> none;
    EXPECT_EQ(E_FAIL, g.data->EnumDAdvise(none.Put()));

    ComPtr<RecordingAdviseSink> first = RecordingAdviseSink::Make();
    ComPtr<RecordingAdviseSink> second = RecordingAdviseSink::Make();
    ComPtr<RecordingAdviseSink> data = RecordingAdviseSink::Make();
    g.Advise(L"OPCSTMFORMATDATATIME", first.Get());
    g.Advise(L"OPCSTMFORMATDATATIME", second.Get());
    g.Advise(L"OPCSTMFORMATDATA", data.Get());
    ASSERT_TRUE(first->WaitFor(3, 10000));
    EXPECT_EQ(0u, second->Streams().size());
    EXPECT_EQ(0u, data->Streams().size());

    const ReceivedStream s = first->Streams()[0];
    EXPECT_EQ(FormatNamed(L"OPCSTMFORMATDATATIME"), s.format);
    // As it crossed the process boundary: 20 + 2 x 20 + 2 x 16 + (4 + 2 x 6) bytes, the
    // values at 60 and 76, "hello" after its byte count.
    ASSERT_EQ(108u, s.bytes.size());
    auto dword = [&](size_t at) {
        DWORD v;
        memcpy(&v, s.bytes.data() + at, 4);
        return v;
    };
    EXPECT_EQ(108u, dword(0));
    EXPECT_EQ(60u, dword(24));
    EXPECT_EQ(76u, dword(44));
    EXPECT_EQ(12u, dword(92));
    EXPECT_EQ(0, memcmp(s.bytes.data() + 96, L"hello", 12));
    opcstream::ReadStream read;
    ASSERT_TRUE(opcstream::ReadData(Format::kDataTime, s.bytes.data(), s.bytes.size(), read));
    EXPECT_EQ(77u, read.group);
    EXPECT_EQ(0u, read.transactionId);
    ASSERT_EQ(2u, read.items.size());
    EXPECT_EQ(1u, read.items[0].client);
    EXPECT_FLOAT_EQ(21.5f, V_R4(read.items[0].value.Get()));
    EXPECT_EQ(OPC_QUALITY_GOOD, read.items[0].quality);
    EXPECT_STREQ(L"hello", V_BSTR(read.items[1].value.Get()));
}

// A DA 1.0 client process on the same (public) group dies while it holds the cycle's
// connection: the cycle goes on, and a DA 2.0 client of the group keeps its rate.
TEST_F(Da1Streams, AClientKilledWhileAdvisedDoesNotStallTheCycle) {
    Da1Group g = Make({L"Probe.Dev.Temp"}, TRUE, 250);
    ASSERT_EQ(S_OK, MoveToPublic(g.added.state.Get()));
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, g.added.state.As(container));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie));
    const std::wstring name = StateOf(g.added.state.Get()).name;
    ChildRun child = RunChild(L"subscriber_client.exe", name + L" 1500 da1", 60000);
    EXPECT_EQ(9u, child.exitCode) << child.out << child.err;
    EXPECT_EQ(std::string::npos, child.out.find("streams 0")) << child.out;
    const size_t before = sink->Count(DataCall::kDataChange);
    Sleep(3000);
    std::vector<DataCall> calls = sink->Calls(DataCall::kDataChange);
    ASSERT_GT(calls.size(), before + 5) << "the cycle goes on after the client died";
    for (size_t i = before + 1; i < calls.size(); ++i)
        EXPECT_LT(calls[i].tick - calls[i - 1].tick, 1500u);
}

TEST_F(Da1Streams, ReadsAndWritesAnswerOnTheirOwnConnection) {
    Da1Group g = Make({L"Probe.Dev.Count", L"Probe.Dev.Fixed", L"Probe.Dev.Temp"}, FALSE);
    ComPtr<RecordingAdviseSink> data = RecordingAdviseSink::Make();
    ComPtr<RecordingAdviseSink> writes = RecordingAdviseSink::Make();
    const DWORD dataConnection = g.Advise(L"OPCSTMFORMATDATA", data.Get());
    const DWORD writeConnection = g.Advise(L"OPCSTMFORMATWRITECOMPLETE", writes.Get());

    DWORD transaction = 0;
    HRESULT* errors = nullptr;
    OPCHANDLE handles[] = {g.handles[0], 0xBAD};
    ASSERT_EQ(S_OK, g.io->Read(dataConnection, OPC_DS_DEVICE, 2, handles, &transaction, &errors));
    EXPECT_EQ(E_FAIL, errors[1]);
    CoTaskMemFree(errors);
    ASSERT_TRUE(data->WaitFor(1, 10000));
    opcstream::ReadStream read;
    const ReceivedStream s = data->Streams()[0];
    ASSERT_TRUE(opcstream::ReadData(Format::kData, s.bytes.data(), s.bytes.size(), read));
    ASSERT_EQ(3u, read.items.size()) << "the stream holds every item of the group";
    EXPECT_EQ(7, V_I4(read.items[0].value.Get()));
    const float tempCached = V_R4(read.items[2].value.Get());

    // A write: the write-complete stream lists every item, the refused ones with their error.
    VARIANT values[2];
    V_VT(&values[0]) = VT_I4;
    V_I4(&values[0]) = 8;
    V_VT(&values[1]) = VT_I4;
    V_I4(&values[1]) = 43;
    OPCHANDLE written[] = {g.handles[0], g.handles[1]};
    ASSERT_EQ(S_OK, g.io->Write(writeConnection, 2, written, values, &transaction, &errors));
    CoTaskMemFree(errors);
    ASSERT_TRUE(writes->WaitFor(1, 10000));
    const ReceivedStream w = writes->Streams()[0];
    ASSERT_EQ(40u, w.bytes.size());
    opcstream::ReadStream outcome;
    ASSERT_TRUE(opcstream::ReadWriteComplete(w.bytes.data(), w.bytes.size(), outcome));
    EXPECT_EQ(1u, outcome.transactionId);
    ASSERT_EQ(3u, outcome.items.size());
    EXPECT_EQ(S_OK, outcome.items[0].error);
    EXPECT_EQ(OPC_E_BADRIGHTS, outcome.items[1].error);
    EXPECT_EQ(S_OK, outcome.items[2].error);
    EXPECT_EQ(1u, data->Streams().size()) << "the other connection hears nothing of it";

    // A value that does not convert is refused in the stream, and the cache does not take
    // it: a refresh from the cache, answered on the data connection, shows what it held.
    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"not a number");
    OPCHANDLE temp[] = {g.handles[2]};
    ASSERT_EQ(S_OK, g.io->Write(writeConnection, 1, temp, &text, &transaction, &errors));
    VariantClear(&text);
    CoTaskMemFree(errors);
    ASSERT_TRUE(writes->WaitFor(2, 10000));
    const ReceivedStream refused = writes->Streams()[1];
    ASSERT_TRUE(opcstream::ReadWriteComplete(refused.bytes.data(), refused.bytes.size(), outcome));
    ASSERT_EQ(3u, outcome.items.size());
    EXPECT_EQ(OPC_E_BADTYPE, outcome.items[2].error);
    ASSERT_EQ(S_OK, g.io->Refresh(dataConnection, OPC_DS_CACHE, &transaction));
    ASSERT_TRUE(data->WaitFor(2, 10000));
    const ReceivedStream cached = data->Streams()[1];
    ASSERT_TRUE(opcstream::ReadData(Format::kData, cached.bytes.data(), cached.bytes.size(), read));
    ASSERT_EQ(3u, read.items.size());
    EXPECT_EQ(8, V_I4(read.items[0].value.Get())) << "the accepted write";
    EXPECT_FLOAT_EQ(tempCached, V_R4(read.items[2].value.Get()));

    // GetData hands out the group's stream in the format asked for.
    FORMATETC dataTime{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                       nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM got{};
    ASSERT_EQ(S_OK, g.data->GetData(&dataTime, &got));
    ASSERT_EQ(static_cast<DWORD>(TYMED_HGLOBAL), got.tymed);
    {
        const BYTE* bytes = static_cast<const BYTE*>(GlobalLock(got.hGlobal));
        ASSERT_TRUE(opcstream::ReadData(Format::kDataTime, bytes, GlobalSize(got.hGlobal), read));
        GlobalUnlock(got.hGlobal);
    }
    ReleaseStgMedium(&got);
    ASSERT_EQ(3u, read.items.size());
    EXPECT_EQ(8, V_I4(read.items[0].value.Get()));
    EXPECT_FLOAT_EQ(tempCached, V_R4(read.items[2].value.Get()));

    // A device refresh answers on its connection too; cancelled before it reads, it sends
    // nothing; a connection that matches nothing hears nothing.
    ASSERT_EQ(S_OK, g.io->Refresh(dataConnection, OPC_DS_DEVICE, &transaction));
    ASSERT_TRUE(data->WaitFor(3, 10000));
    ASSERT_EQ(S_OK, g.io->Refresh(dataConnection, OPC_DS_DEVICE, &transaction));
    EXPECT_EQ(S_OK, g.io->Cancel(transaction));
    ASSERT_EQ(S_OK, g.io->Read(12345, OPC_DS_DEVICE, 1, handles, &transaction, &errors));
    CoTaskMemFree(errors);
    Sleep(1500);
    EXPECT_EQ(3u, data->Streams().size());
    EXPECT_EQ(E_FAIL, g.io->Cancel(transaction)) << "the read has ended";

    // GetData for a format that is none of the three leaves the medium alone.
    FORMATETC other{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    EXPECT_EQ(DV_E_FORMATETC, g.data->GetData(&other, &medium));
    EXPECT_EQ(S_OK, g.data->DUnadvise(dataConnection));
    EXPECT_EQ(OLE_E_NOCONNECTION, g.data->DUnadvise(dataConnection));
}

// DA 1.0 cancels keep the same promise: an S_OK means no write-complete stream and no value
// at the device, an E_FAIL exactly one stream.
TEST_F(Da1Streams, ACancelledWriteSendsNoStreamAndWritesNothing) {
    Da1Group g = Make({L"Probe.Dev.Count"}, FALSE);
    ComPtr<RecordingAdviseSink> writes = RecordingAdviseSink::Make();
    const DWORD connection = g.Advise(L"OPCSTMFORMATWRITECOMPLETE", writes.Get());
    constexpr int kPairs = 100;
    std::vector<HRESULT> cancels;
    for (int i = 0; i < kPairs; ++i) {
        VARIANT value;
        V_VT(&value) = VT_I4;
        V_I4(&value) = 200000 + i;
        DWORD transaction = 0;
        HRESULT* errors = nullptr;
        ASSERT_EQ(S_OK,
                  g.io->Write(connection, 1, g.handles.data(), &value, &transaction, &errors));
        CoTaskMemFree(errors);
        cancels.push_back(g.io->Cancel(transaction));
    }
    const size_t completed = std::count(cancels.begin(), cancels.end(), E_FAIL);
    writes->WaitFor(completed, 30000);
    Sleep(1000);
    // The write-complete stream carries no transaction of its own (always 1): count them.
    EXPECT_EQ(completed, writes->Streams().size());
    std::set<std::string> written;
    for (const ProbeCall& c : ReadProbeLog(install_->probe_)) {
        const size_t arrow = c.args.find("=>");
        if (!c.entering && c.entry == "DLLSetObjectInfo" && arrow != std::string::npos)
            written.insert(c.args.substr(arrow + 2));
    }
    for (int i = 0; i < kPairs; ++i) {
        ASSERT_TRUE(cancels[i] == S_OK || cancels[i] == E_FAIL);
        EXPECT_EQ(cancels[i] == S_OK ? 0u : 1u, written.count(std::to_string(200000 + i))) << i;
    }
    EXPECT_LT(completed, static_cast<size_t>(kPairs)) << "some cancels came in time";
}

}  // namespace
