// OPC DA 3.0 reads with a maximum age and value-quality-timestamp writes of a group, through a
// real client connection. The probe's bench branch gives tags that go up by one at every
// driver update (ChangePercent 100), so a value tells whether a read went to the device: a
// device read updates the driver first, a cache read does not. The groups are inactive, so
// that no update cycle fills their caches meanwhile.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "opc_client_fixture.h"
#include "recording_sink.h"
#include "value_reads.h"
#include "variant.h"

namespace {

constexpr DWORD kSlowUpdateMs = 200;
constexpr DWORD kCache = 0xFFFFFFFF;

using MaxAgeRead = ValueReads;

MaxAgeRead ReadMaxAge(IOPCSyncIO2* io, std::vector<OPCHANDLE> handles, std::vector<DWORD> ages) {
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* timestamps = nullptr;
    HRESULT* errors = nullptr;
    const DWORD n = static_cast<DWORD>(handles.size());
    const HRESULT hr =
        io->ReadMaxAge(n, handles.data(), ages.data(), &values, &qualities, &timestamps, &errors);
    return TakeValueReads(hr, n, values, qualities, timestamps, errors);
}

OPCITEMVQT Vqt(VARTYPE type, LONG value, bool quality = false, bool timestamp = false) {
    OPCITEMVQT v{};
    VariantInit(&v.vDataValue);
    V_VT(&v.vDataValue) = type;
    if (type == VT_R8)
        V_R8(&v.vDataValue) = value;
    else
        V_I4(&v.vDataValue) = value;
    v.bQualitySpecified = quality;
    v.wQuality = OPC_QUALITY_GOOD;
    v.bTimeStampSpecified = timestamp;
    CoFileTimeNow(&v.ftTimeStamp);
    return v;
}

struct CallErrors {
    HRESULT hr = E_FAIL;
    DWORD cancelId = 0;
    std::vector<HRESULT> errors;
};

CallErrors WriteVqt(IOPCSyncIO2* io, std::vector<OPCHANDLE> handles, std::vector<OPCITEMVQT> vqts) {
    CallErrors c;
    HRESULT* errors = nullptr;
    c.hr = io->WriteVQT(static_cast<DWORD>(handles.size()), handles.data(), vqts.data(), &errors);
    if (errors) c.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return c;
}

class MaxAgeIo : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) +
                "bench=Bench:2\nupdate_delay_ms=" + std::to_string(kSlowUpdateMs) + "\n");
    }

    // An inactive group with `ids` as items 1, 2, ...; their handles in handles_.
    void MakeGroup(const std::vector<std::wstring>& ids) {
        const std::wstring name = L"M" + std::to_wstring(++groups_);
        added_ = AddGroupTo(server_.Get(), name.c_str(), 1000, FALSE);
        ASSERT_EQ(S_OK, added_.hr);
        ASSERT_EQ(S_OK, added_.state.As(items_));
        ASSERT_EQ(S_OK, added_.state.As(sync_));
        ASSERT_EQ(S_OK, added_.state.As(async_));
        Added a = AddItems(items_.Get(), ids);
        ASSERT_EQ(S_OK, a.hr);
        handles_.clear();
        for (const OPCITEMRESULT& r : a.results) handles_.push_back(r.hServer);
    }

    // The bench tags go up at every driver update from now on.
    void MakeBenchTagsCount() {
        MakeGroup({L"Probe.Bench.ChangePercent"});
        ASSERT_EQ(S_OK, WriteVqt(sync_.Get(), handles_, {Vqt(VT_R8, 100)}).hr);
    }

    // A sink advised on the current group.
    ComPtr<RecordingSink> Advise() {
        ComPtr<RecordingSink> sink = RecordingSink::Make();
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, added_.state.As(container));
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie));
        return sink;
    }

    size_t ProbeCalls(const char* entry) {
        return CountCalls(ReadProbeLog(install_->probe_), entry);
    }

    AddedGroup added_;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO2> sync_;
    ComPtr<IOPCAsyncIO3> async_;
    std::vector<OPCHANDLE> handles_;
    int groups_ = 0;
};

TEST_F(MaxAgeIo, TheGroupAnswersTheNewInterfacesAndTheirBasesAsOneObject) {
    MakeGroup({L"Probe.Dev.Temp"});
    ComPtr<IOPCSyncIO> sync;
    ComPtr<IOPCAsyncIO2> async;
    ASSERT_EQ(S_OK, added_.state.As(sync));
    ASSERT_EQ(S_OK, added_.state.As(async));
    ComPtr<IUnknown> a, b, c;
    ASSERT_EQ(S_OK, sync->QueryInterface(IID_IUnknown, a.PutVoid()));
    ASSERT_EQ(S_OK, sync_->QueryInterface(IID_IUnknown, b.PutVoid()));
    ASSERT_EQ(S_OK, async_->QueryInterface(IID_IUnknown, c.PutVoid()));
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(a.Get(), c.Get());
    // The DA 2.0 read through the DA 3.0 interface's own vtable.
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync_->Read(OPC_DS_DEVICE, 1, handles_.data(), &states, &errors));
    EXPECT_FLOAT_EQ(21.5f, V_R4(&states[0].vDataValue));
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

TEST_F(MaxAgeIo, ACacheYoungerThanTheAgeAnswersAndAnOlderOneIsReadFromTheDevice) {
    MakeBenchTagsCount();
    MakeGroup({L"Probe.Bench.T00000"});
    const std::vector<OPCHANDLE> t = handles_;
    MaxAgeRead first = ReadMaxAge(sync_.Get(), t, {0});
    ASSERT_EQ(S_OK, first.hr);
    ASSERT_EQ(VT_R8, V_VT(first.values[0].Get()));
    EXPECT_EQ(OPC_QUALITY_GOOD, first.qualities[0]);
    MaxAgeRead device = ReadMaxAge(sync_.Get(), t, {0});
    ASSERT_EQ(S_OK, device.hr);
    EXPECT_GT(device.R8(0), first.R8(0)) << "age 0 always reads the device";

    MaxAgeRead young = ReadMaxAge(sync_.Get(), t, {60000});
    ASSERT_EQ(S_OK, young.hr);
    EXPECT_EQ(device.R8(0), young.R8(0)) << "a cache younger than the age answers";
    EXPECT_EQ(0, CompareFileTime(&device.timestamps[0], &young.timestamps[0]));
    MaxAgeRead any = ReadMaxAge(sync_.Get(), t, {kCache});
    EXPECT_EQ(device.R8(0), any.R8(0));

    Sleep(300);
    MaxAgeRead old = ReadMaxAge(sync_.Get(), t, {100});
    EXPECT_GT(old.R8(0), device.R8(0)) << "a cache older than the age is read anew";
    EXPECT_EQ(old.R8(0), ReadMaxAge(sync_.Get(), t, {60000}).R8(0));
}

TEST_F(MaxAgeIo, ItemsNeverReadGoToTheDeviceButAnInfiniteAgeIsACacheRead) {
    MakeGroup({L"Probe.Dev.Temp", L"Probe.Dev.Count"});
    // As Read(OPC_DS_CACHE) of the same items: whatever the cache holds.
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, sync_->Read(OPC_DS_CACHE, 2, handles_.data(), &states, &errors));
    MaxAgeRead cache = ReadMaxAge(sync_.Get(), handles_, {kCache, kCache});
    ASSERT_EQ(S_OK, cache.hr);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(V_VT(&states[i].vDataValue), V_VT(cache.values[i].Get()));
        EXPECT_EQ(states[i].wQuality, cache.qualities[i]);
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // Inactive, never read: any finite age reads the device, however long.
    MaxAgeRead device = ReadMaxAge(sync_.Get(), handles_, {60000, 3600000});
    ASSERT_EQ(S_OK, device.hr);
    EXPECT_FLOAT_EQ(21.5f, V_R4(device.values[0].Get()));
    EXPECT_EQ(7, V_I4(device.values[1].Get()));
    EXPECT_EQ(OPC_QUALITY_GOOD, device.qualities[0]);
    EXPECT_NE(0u, device.timestamps[1].dwHighDateTime);
}

TEST_F(MaxAgeIo, UnknownAndStaleHandlesAreRefusedItemByItem) {
    MakeGroup({L"Probe.Dev.Temp", L"Probe.Dev.Count"});
    // Unknown and stale handles, beside a good one.
    const OPCHANDLE stale = handles_[1];
    HRESULT* removed = nullptr;
    ASSERT_EQ(S_OK, items_->RemoveItems(1, const_cast<OPCHANDLE*>(&stale), &removed));
    CoTaskMemFree(removed);
    MaxAgeRead r = ReadMaxAge(sync_.Get(), {0xBAD, handles_[0], stale}, {0, 0, kCache});
    EXPECT_EQ(S_FALSE, r.hr);
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK, OPC_E_INVALIDHANDLE}), r.errors);
    EXPECT_EQ(VT_EMPTY, V_VT(r.values[0].Get()));
    EXPECT_EQ(VT_EMPTY, V_VT(r.values[2].Get()));
    EXPECT_FLOAT_EQ(21.5f, V_R4(r.values[1].Get()));
    CallErrors w = WriteVqt(sync_.Get(), {stale, 0xBAD}, {Vqt(VT_I4, 1), Vqt(VT_I4, 1)});
    EXPECT_EQ(S_FALSE, w.hr);
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}), w.errors);
}

TEST_F(MaxAgeIo, WriteVqtRefusesQualitiesAndTimestampsAndWritesTheOthers) {
    MakeGroup({L"Probe.Dev.Count", L"Probe.Dev.Temp", L"Probe.Dev.Fixed", L"Probe.Dev.Text"});
    const size_t setsBefore = ProbeCalls("DLLSetObjectInfo");
    OPCITEMVQT text{};
    VariantInit(&text.vDataValue);
    V_VT(&text.vDataValue) = VT_BSTR;
    V_BSTR(&text.vDataValue) = SysAllocString(L"written");
    CallErrors w = WriteVqt(sync_.Get(), handles_,
                            {Vqt(VT_I4, 100), Vqt(VT_R8, 5, true), Vqt(VT_I4, 1), text});
    EXPECT_EQ(S_FALSE, w.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_NOTSUPPORTED, OPC_E_BADRIGHTS, S_OK}), w.errors);
    text.bTimeStampSpecified = TRUE;
    w = WriteVqt(sync_.Get(), {handles_[3]}, {text});
    EXPECT_EQ(S_FALSE, w.hr);
    EXPECT_EQ(OPC_E_NOTSUPPORTED, w.errors[0]);
    VariantClear(&text.vDataValue);
    EXPECT_EQ(setsBefore + 2, ProbeCalls("DLLSetObjectInfo")) << "only the plain values";

    MaxAgeRead r = ReadMaxAge(sync_.Get(), handles_, {0, 0, 0, 0});
    EXPECT_EQ(100, V_I4(r.values[0].Get()));
    EXPECT_FLOAT_EQ(21.5f, V_R4(r.values[1].Get()));
    EXPECT_EQ(42, V_I4(r.values[2].Get()));
    EXPECT_STREQ(L"written", V_BSTR(r.values[3].Get()));

    // Only plain values: S_OK.
    w = WriteVqt(sync_.Get(), {handles_[0]}, {Vqt(VT_I4, 7)});
    EXPECT_EQ(S_OK, w.hr);
}

CallErrors AsyncReadMaxAge(IOPCAsyncIO3* io, std::vector<OPCHANDLE> handles,
                           std::vector<DWORD> ages, DWORD transaction) {
    CallErrors c;
    HRESULT* errors = nullptr;
    c.hr = io->ReadMaxAge(static_cast<DWORD>(handles.size()), handles.data(), ages.data(),
                          transaction, &c.cancelId, &errors);
    if (errors) c.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return c;
}

CallErrors AsyncWriteVqt(IOPCAsyncIO3* io, std::vector<OPCHANDLE> handles,
                         std::vector<OPCITEMVQT> vqts, DWORD transaction) {
    CallErrors c;
    HRESULT* errors = nullptr;
    c.hr = io->WriteVQT(static_cast<DWORD>(handles.size()), handles.data(), vqts.data(),
                        transaction, &c.cancelId, &errors);
    if (errors) c.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return c;
}

TEST_F(MaxAgeIo, AsyncReadMaxAgeAndRefreshMaxAgeAnswerFromTheCacheWhileItIsYoungEnough) {
    MakeBenchTagsCount();
    MakeGroup({L"Probe.Bench.T00001"});
    ComPtr<RecordingSink> sink = Advise();
    const double cached = ReadMaxAge(sync_.Get(), handles_, {0}).R8(0);

    CallErrors c = AsyncReadMaxAge(async_.Get(), {handles_[0], 0xBAD}, {60000, 0}, 5);
    EXPECT_EQ(S_OK, c.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, E_FAIL}), c.errors);
    ASSERT_TRUE(sink->WaitFor(DataCall::kReadComplete, 1, 10000));
    DataCall r = sink->Calls(DataCall::kReadComplete)[0];
    EXPECT_EQ(5u, r.transaction);
    EXPECT_EQ((std::vector<OPCHANDLE>{1}), r.clients);
    EXPECT_EQ(cached, V_R8(r.values[0].Get()));

    ASSERT_EQ(S_OK, AsyncReadMaxAge(async_.Get(), handles_, {0}, 6).hr);
    ASSERT_TRUE(sink->WaitFor(DataCall::kReadComplete, 2, 10000));
    r = sink->Calls(DataCall::kReadComplete)[1];
    EXPECT_EQ(6u, r.transaction);
    const double fresh = V_R8(r.values[0].Get());
    EXPECT_GT(fresh, cached);

    DWORD cancelId = 0;
    ASSERT_EQ(S_OK, async_->RefreshMaxAge(kCache, 12, &cancelId));
    ASSERT_TRUE(sink->WaitFor(DataCall::kDataChange, 1, 10000));
    r = sink->Calls(DataCall::kDataChange)[0];
    EXPECT_EQ(12u, r.transaction);
    EXPECT_EQ(fresh, V_R8(r.values[0].Get())) << "the cache, as the async read left it";
    ASSERT_EQ(S_OK, async_->RefreshMaxAge(0, 13, &cancelId));
    ASSERT_TRUE(sink->WaitFor(DataCall::kDataChange, 2, 10000));
    r = sink->Calls(DataCall::kDataChange)[1];
    EXPECT_EQ(13u, r.transaction);
    EXPECT_GT(V_R8(r.values[0].Get()), fresh);
}

TEST_F(MaxAgeIo, AsyncWriteVqtRefusesQualitiesAtOnceAndReportsTheWrittenOnes) {
    MakeGroup({L"Probe.Dev.Count", L"Probe.Dev.Temp"});
    ComPtr<RecordingSink> sink = Advise();
    CallErrors c = AsyncWriteVqt(async_.Get(), {handles_[0], handles_[1], 0xBAD},
                                 {Vqt(VT_I4, 321), Vqt(VT_R8, 1, false, true), Vqt(VT_I4, 1)}, 40);
    EXPECT_EQ(S_OK, c.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_NOTSUPPORTED, E_FAIL}), c.errors);
    ASSERT_TRUE(sink->WaitFor(DataCall::kWriteComplete, 1, 10000));
    const DataCall w = sink->Calls(DataCall::kWriteComplete)[0];
    EXPECT_EQ(40u, w.transaction);
    EXPECT_EQ((std::vector<OPCHANDLE>{1}), w.clients);
    EXPECT_EQ((std::vector<HRESULT>{S_OK}), w.errors);
    MaxAgeRead r = ReadMaxAge(sync_.Get(), handles_, {0, 0});
    EXPECT_EQ(321, V_I4(r.values[0].Get()));
    EXPECT_FLOAT_EQ(21.5f, V_R4(r.values[1].Get()));

    // Nothing left to write: no transaction.
    c = AsyncWriteVqt(async_.Get(), {handles_[1]}, {Vqt(VT_R8, 1, true)}, 41);
    EXPECT_EQ(E_FAIL, c.hr);
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_NOTSUPPORTED}), c.errors);
}

TEST_F(MaxAgeIo, Cancel2EndsPendingDa3TransactionsLikeTheOthers) {
    MakeGroup({L"Probe.Dev.Count"});
    ComPtr<RecordingSink> sink = Advise();
    // Each reads the device first, which takes kSlowUpdateMs.
    CallErrors read = AsyncReadMaxAge(async_.Get(), handles_, {0}, 50);
    ASSERT_EQ(S_OK, read.hr);
    EXPECT_EQ(S_OK, async_->Cancel2(read.cancelId));
    DWORD refreshId = 0;
    ASSERT_EQ(S_OK, async_->RefreshMaxAge(0, 51, &refreshId));
    EXPECT_EQ(S_OK, async_->Cancel2(refreshId));
    ASSERT_TRUE(sink->WaitFor(DataCall::kCancelComplete, 2, 10000));
    Sleep(kSlowUpdateMs + 300);
    std::vector<DataCall> calls = sink->Calls();
    ASSERT_EQ(2u, calls.size()) << "the cancelled ones report nothing else";
    EXPECT_EQ(E_FAIL, async_->Cancel2(read.cancelId)) << "ended";

    // A write cancelled before it reaches the driver ends with OnCancelComplete alone;
    // otherwise it reports as usual.
    CallErrors write = AsyncWriteVqt(async_.Get(), handles_, {Vqt(VT_I4, 9)}, 52);
    ASSERT_EQ(S_OK, write.hr);
    const HRESULT cancelled = async_->Cancel2(write.cancelId);
    ASSERT_TRUE(
        sink->WaitFor(cancelled == S_OK ? DataCall::kCancelComplete : DataCall::kWriteComplete,
                      cancelled == S_OK ? 3 : 1, 10000));
    Sleep(kSlowUpdateMs + 300);
    EXPECT_EQ(3u, sink->Calls().size());
}

}  // namespace
