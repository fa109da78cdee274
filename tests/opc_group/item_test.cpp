// Items and synchronous IO through a real client connection, against the probe driver's tree
// (Probe.Dev.Temp R4 21.5 with two child tags, Count I4 7, Fixed I4 42 read-only, Text BSTR).
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "opc_client_fixture.h"
#include "variants.h"

namespace {

struct ReadResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<OPCITEMSTATE> states;  // values owned here, cleared by the destructor
    ~ReadResult() {
        for (auto& s : states) VariantClear(&s.vDataValue);
    }
};

void Read(IOPCSyncIO* io, OPCDATASOURCE source, const std::vector<OPCHANDLE>& handles,
          ReadResult& out) {
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    out.hr = io->Read(source, static_cast<DWORD>(handles.size()),
                      const_cast<OPCHANDLE*>(handles.data()), &states, &errors);
    if (SUCCEEDED(out.hr)) {
        out.states.assign(states, states + handles.size());
        out.errors.assign(errors, errors + handles.size());
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

struct WriteResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
};

WriteResult Write(IOPCSyncIO* io, const std::vector<OPCHANDLE>& handles,
                  std::vector<VARIANT> values) {
    WriteResult w;
    HRESULT* errors = nullptr;
    w.hr = io->Write(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                     values.data(), &errors);
    if (SUCCEEDED(w.hr)) w.errors.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return w;
}

VARIANT MakeVariant(VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    return v;
}

class Items : public OpcClientTest {
  protected:
    void SetUp() override {
        OpcClientTest::SetUp();
        group_ = AddGroupTo(server_.Get(), L"Items");
        ASSERT_EQ(S_OK, group_.hr);
        ASSERT_EQ(S_OK, group_.state.As(items_));
        ASSERT_EQ(S_OK, group_.state.As(io_));
    }

    // The client count the probe holds for a tag: the last one the server set.
    DWORD ClientCount(const std::string& tagName) {
        return LastClientCount(ReadProbeLog(install_->probe_), tagName);
    }
    size_t Calls(const std::string& entry) {
        return CountCalls(ReadProbeLog(install_->probe_), entry);
    }

    AddedGroup group_;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> io_;
};

TEST_F(Items, OnlyIdentifiersThatNameATagBecomeItems) {
    const std::wstring longId = L"Probe.Dev." + std::wstring(5000, L'x');
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp", L"Nowhere.Dev.Temp", L"Probe", L"...", L"",
                                      longId, L"Probe.Dev", L"Probe.Dev.Fixed"});
    EXPECT_EQ(S_FALSE, a.hr);
    EXPECT_EQ(S_OK, a.errors[0]);
    EXPECT_NE(0u, a[0]);
    EXPECT_EQ(VT_R4, a.results[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, a.results[0].dwAccessRights);
    for (size_t i = 1; i <= 6; ++i) {
        EXPECT_EQ(OPC_E_INVALIDITEMID, a.errors[i]) << "definition " << i;
        EXPECT_EQ(0u, a[i]) << "no handle for definition " << i;
    }
    EXPECT_EQ(S_OK, a.errors[7]);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE), a.results[7].dwAccessRights);

    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(S_OK, items_->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                             reinterpret_cast<IUnknown**>(e.Put())));
    OPCITEMATTRIBUTES* attributes = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(10, &attributes, &fetched));
    ASSERT_EQ(2u, fetched) << "the refused identifiers left nothing behind";
    EXPECT_STREQ(L"Probe.Dev.Temp", attributes[0].szItemID);
    EXPECT_EQ(1u, attributes[0].hClient);
    EXPECT_EQ(a[7], attributes[1].hServer);
    for (ULONG i = 0; i < fetched; ++i) {  // the proxy hands over only what was fetched
        CoTaskMemFree(attributes[i].szAccessPath);
        CoTaskMemFree(attributes[i].szItemID);
        CoTaskMemFree(attributes[i].pBlob);
        VariantClear(&attributes[i].vEUInfo);
    }
    CoTaskMemFree(attributes);
}

// The probe's tree with ranges: Temp's a real one, Fixed's an empty one (low = high), and
// units without a range for Count.
class AnalogItems : public Items {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) +
                "eu=Dev.Temp:-40:125:C\neu=Dev.Count:::pcs\neu=Dev.Fixed:5:5\n");
    }
};

// What an HMI reads to scale an item: only a tag with a range is analog, with the range as
// its EU info; the others have none, not a made-up one.
TEST_F(AnalogItems, AttributesCarryTheRangeOfAnalogItemsOnly) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Fixed"});
    ASSERT_EQ(S_OK, a.hr);
    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(S_OK, items_->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                             reinterpret_cast<IUnknown**>(e.Put())));
    OPCITEMATTRIBUTES* attributes = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, e->Next(10, &attributes, &fetched));
    ASSERT_EQ(3u, fetched);
    EXPECT_STREQ(L"Probe.Dev.Temp", attributes[0].szItemID);
    EXPECT_EQ(OPC_ANALOG, attributes[0].dwEUType);
    EXPECT_EQ(VT_ARRAY | VT_R8, V_VT(&attributes[0].vEUInfo));
    EXPECT_EQ((std::vector<double>{-40.0, 125.0}), DoubleArrayOf(attributes[0].vEUInfo));
    for (ULONG i = 1; i < 3; ++i) {
        EXPECT_EQ(OPC_NOENUM, attributes[i].dwEUType) << attributes[i].szItemID;
        EXPECT_EQ(VT_EMPTY, V_VT(&attributes[i].vEUInfo)) << attributes[i].szItemID;
    }
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attributes[i].szAccessPath);
        CoTaskMemFree(attributes[i].szItemID);
        CoTaskMemFree(attributes[i].pBlob);
        VariantClear(&attributes[i].vEUInfo);
    }
    CoTaskMemFree(attributes);
}

TEST_F(Items, AnIdentifierInTheCyrillicCodePageResolves) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Темп"});
    EXPECT_EQ(S_OK, a.hr);
    ReadResult r;
    Read(io_.Get(), OPC_DS_DEVICE, {a[0]}, r);
    ASSERT_EQ(S_OK, r.hr);
    EXPECT_EQ(VT_R4, V_VT(&r.states[0].vDataValue));
    EXPECT_FLOAT_EQ(3.0f, V_R4(&r.states[0].vDataValue));
}

TEST_F(Items, ValidateItemsChecksWithoutCreatingOrCounting) {
    const size_t setsBefore = Calls("DLLSetObjectInfo");
    const size_t changesBefore = Calls("DLLChangeClientCount");
    const std::vector<std::wstring> ids = {L"Probe.Dev.Count", L"NoDot"};
    std::vector<OPCITEMDEF> defs = Definitions(ids, 1);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, items_->ValidateItems(2, defs.data(), FALSE, &results, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(0u, results[0].hServer);
    EXPECT_EQ(VT_I4, results[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors[1]);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    EXPECT_EQ(setsBefore, Calls("DLLSetObjectInfo")) << "no client count touched";
    EXPECT_EQ(changesBefore, Calls("DLLChangeClientCount")) << "no client count touched";
}

// However many items of a tag one call adds or removes, the driver hears of it once, and
// never with a record of the tag to write back.
TEST_F(Items, ACallChangesEachTagsClientCountOnce) {
    const DWORD count = ClientCount("Count"), temp = ClientCount("Temp");
    const size_t changes = Calls("DLLChangeClientCount"), sets = Calls("DLLSetObjectInfo");
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Count", L"Probe.Dev.Temp", L"Probe.Dev.Count",
                                      L"Probe.Dev", L"Probe.Dev.Count", L"Probe.Dev.Temp"});
    ASSERT_EQ(S_FALSE, a.hr) << "the folder is refused";
    EXPECT_EQ(changes + 2, Calls("DLLChangeClientCount"));
    EXPECT_EQ(count + 3, ClientCount("Count"));
    EXPECT_EQ(temp + 2, ClientCount("Temp"));

    std::vector<OPCHANDLE> handles = {a[0], a[1], a[2], a[4], a[5]};
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, items_->RemoveItems(5, handles.data(), &errors));
    CoTaskMemFree(errors);
    EXPECT_EQ(changes + 4, Calls("DLLChangeClientCount"));
    EXPECT_EQ(count, ClientCount("Count"));
    EXPECT_EQ(temp, ClientCount("Temp"));
    EXPECT_EQ(sets, Calls("DLLSetObjectInfo"));

    // Records are reused: a new item must start afresh, not with the last one's state.
    Added b = AddItems(items_.Get(), {L"Probe.Dev.Text"}, 900, VT_EMPTY);
    ASSERT_EQ(S_OK, b.hr);
    EXPECT_EQ(VT_BSTR, b.results[0].vtCanonicalDataType);
    ReadResult cache;
    Read(io_.Get(), OPC_DS_CACHE, {b[0]}, cache);
    ASSERT_EQ(S_OK, cache.hr);
    EXPECT_EQ(900u, cache.states[0].hClient);
    EXPECT_EQ(VT_BSTR, V_VT(&cache.states[0].vDataValue));
    EXPECT_EQ(OPC_QUALITY_GOOD, cache.states[0].wQuality);
}

TEST_F(Items, ClientCountsFollowItemsAcrossGroups) {
    AddedGroup other = AddGroupTo(server_.Get(), L"Other");
    ComPtr<IOPCItemMgt> otherItems;
    ASSERT_EQ(S_OK, other.state.As(otherItems));
    const DWORD before = ClientCount("Count");
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Count"});
    Added b = AddItems(otherItems.Get(), {L"Probe.Dev.Count"});
    ASSERT_EQ(S_OK, a.hr);
    ASSERT_EQ(S_OK, b.hr);
    EXPECT_EQ(before + 2, ClientCount("Count"));

    OPCHANDLE h = a[0];
    HRESULT* errors = nullptr;
    EXPECT_EQ(S_OK, items_->RemoveItems(1, &h, &errors));
    CoTaskMemFree(errors);
    EXPECT_EQ(before + 1, ClientCount("Count"));
    EXPECT_EQ(S_FALSE, items_->RemoveItems(1, &h, &errors)) << "removed twice";
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    CoTaskMemFree(errors);

    otherItems.Reset();
    other.state.Reset();
    EXPECT_EQ(S_OK, server_->RemoveGroup(other.handle, FALSE));
    EXPECT_EQ(before, ClientCount("Count")) << "the group's end gives its counts back";
}

TEST_F(Items, PerHandleCallsReportUnknownHandles) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp"});
    OPCHANDLE handles[2] = {a[0], a[0] + 1000};
    HRESULT* errors = nullptr;
    EXPECT_EQ(S_FALSE, items_->SetActiveState(2, handles, FALSE, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[1]);
    CoTaskMemFree(errors);
    OPCHANDLE clients[2] = {50, 51};
    EXPECT_EQ(S_FALSE, items_->SetClientHandles(2, handles, clients, &errors));
    CoTaskMemFree(errors);

    ReadResult r;
    Read(io_.Get(), OPC_DS_CACHE, {handles[0], handles[1]}, r);
    ASSERT_EQ(S_FALSE, r.hr);
    EXPECT_EQ(S_OK, r.errors[0]);
    EXPECT_EQ(50u, r.states[0].hClient);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, r.errors[1]);
    EXPECT_EQ(VT_EMPTY, V_VT(&r.states[1].vDataValue));
}

TEST_F(Items, CacheAndDeviceReads) {
    FILETIME before;
    CoFileTimeNow(&before);
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Text"});
    ReadResult cache;
    Read(io_.Get(), OPC_DS_CACHE, {a[0], a[1]}, cache);
    ASSERT_EQ(S_OK, cache.hr);
    EXPECT_EQ(VT_R4, V_VT(&cache.states[0].vDataValue)) << "the canonical type's zero";
    EXPECT_EQ(0.0f, V_R4(&cache.states[0].vDataValue));
    EXPECT_EQ(OPC_QUALITY_GOOD, cache.states[0].wQuality);
    EXPECT_GE(CompareFileTime(&cache.states[0].ftTimeStamp, &before), 0) << "creation time";

    const size_t updates = Calls("DLLUpdate");
    ReadResult device;
    Read(io_.Get(), OPC_DS_DEVICE, {a[0], a[1]}, device);
    ASSERT_EQ(S_OK, device.hr);
    EXPECT_FLOAT_EQ(21.5f, V_R4(&device.states[0].vDataValue));
    ASSERT_EQ(VT_BSTR, V_VT(&device.states[1].vDataValue));
    EXPECT_STREQ(L"hello", V_BSTR(&device.states[1].vDataValue));
    EXPECT_GT(Calls("DLLUpdate"), updates) << "a device read scans the drivers first";

    VARTYPE asText = VT_BSTR;
    HRESULT* errors = nullptr;
    EXPECT_EQ(S_OK, items_->SetDatatypes(1, &a.results[0].hServer, &asText, &errors));
    CoTaskMemFree(errors);
    ReadResult text;
    Read(io_.Get(), OPC_DS_DEVICE, {a[0]}, text);
    ASSERT_EQ(VT_BSTR, V_VT(&text.states[0].vDataValue));
}

// Removed items' records are kept for the next ones: a new item still shows the time it was
// made, not the time the record was put aside.
TEST_F(Items, AReusedItemRecordShowsTheTimeOfItsNewItem) {
    Added first = AddItems(items_.Get(), {L"Probe.Dev.Temp"});
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, items_->RemoveItems(1, &first.results[0].hServer, &errors));
    CoTaskMemFree(errors);
    Sleep(50);
    FILETIME before;
    CoFileTimeNow(&before);
    Added second = AddItems(items_.Get(), {L"Probe.Dev.Temp"});
    EXPECT_EQ(first[0], second[0]) << "the record and its handle were reused";
    ReadResult cache;
    Read(io_.Get(), OPC_DS_CACHE, {second[0]}, cache);
    ASSERT_EQ(S_OK, cache.hr);
    EXPECT_GE(CompareFileTime(&cache.states[0].ftTimeStamp, &before), 0);
}

TEST_F(Items, AnActiveGroupRefreshesItsCacheEveryUpdateRate) {
    AddedGroup live = AddGroupTo(server_.Get(), L"Live", 250, TRUE);
    AddedGroup idle = AddGroupTo(server_.Get(), L"Idle", 250, FALSE);
    ComPtr<IOPCItemMgt> liveItems, idleItems;
    ComPtr<IOPCSyncIO> liveIo, idleIo;
    ASSERT_EQ(S_OK, live.state.As(liveItems));
    ASSERT_EQ(S_OK, live.state.As(liveIo));
    ASSERT_EQ(S_OK, idle.state.As(idleItems));
    ASSERT_EQ(S_OK, idle.state.As(idleIo));
    Added a = AddItems(liveItems.Get(), {L"Probe.Dev.Temp"});
    Added b = AddItems(idleItems.Get(), {L"Probe.Dev.Temp"});
    float value = 0;
    for (int i = 0; i < 100 && value == 0; ++i) {
        Sleep(50);
        ReadResult r;
        Read(liveIo.Get(), OPC_DS_CACHE, {a[0]}, r);
        value = V_R4(&r.states[0].vDataValue);
    }
    EXPECT_FLOAT_EQ(21.5f, value) << "the update cycle read the driver";
    ReadResult r;
    Read(idleIo.Get(), OPC_DS_CACHE, {b[0]}, r);
    EXPECT_EQ(0.0f, V_R4(&r.states[0].vDataValue)) << "an inactive group has no cycle";
}

TEST_F(Items, WritesReachTheDriverInTheTagsType) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp"});
    // 12.5 as this machine's locale writes it.
    VARIANT number = MakeVariant(VT_R4);
    V_R4(&number) = 12.5f;
    VARIANT text;
    VariantInit(&text);
    ASSERT_EQ(S_OK, VariantChangeType(&text, &number, 0, VT_BSTR));
    WriteResult w = Write(io_.Get(), {a[0]}, {text});
    VariantClear(&text);
    ASSERT_EQ(S_OK, w.hr);
    EXPECT_EQ(S_OK, w.errors[0]);

    ReadResult cache;
    Read(io_.Get(), OPC_DS_CACHE, {a[0]}, cache);
    ASSERT_EQ(VT_R4, V_VT(&cache.states[0].vDataValue));
    EXPECT_FLOAT_EQ(12.5f, V_R4(&cache.states[0].vDataValue));
    ReadResult device;
    Read(io_.Get(), OPC_DS_DEVICE, {a[0]}, device);
    EXPECT_FLOAT_EQ(12.5f, V_R4(&device.states[0].vDataValue)) << "the driver has it";
}

// A refused write is reported as an error and changes nothing: not the tag, not the cache.
TEST_F(Items, RefusedWritesChangeNothing) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Fixed", L"Probe.Dev.Count"});
    ReadResult first;
    Read(io_.Get(), OPC_DS_DEVICE, {a[0], a[1]}, first);
    ASSERT_EQ(S_OK, first.hr);
    const size_t sets = Calls("DLLSetObjectInfo");

    VARIANT five = MakeVariant(VT_I4);
    V_I4(&five) = 5;
    WriteResult ro = Write(io_.Get(), {a[0]}, {five});
    EXPECT_EQ(S_FALSE, ro.hr);
    EXPECT_EQ(OPC_E_BADRIGHTS, ro.errors[0]);

    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 2);
    VARIANT list = MakeVariant(VT_ARRAY | VT_I4);
    V_ARRAY(&list) = array;
    VARIANT error = MakeVariant(VT_ERROR);
    V_ERROR(&error) = E_FAIL;
    VARIANT word = MakeVariant(VT_BSTR);
    V_BSTR(&word) = SysAllocString(L"not a number");
    VARIANT huge = MakeVariant(VT_R8);
    V_R8(&huge) = 1e300;
    WriteResult bad = Write(io_.Get(), {a[1], a[1], a[1], a[1], a[1], a[1]},
                            {MakeVariant(VT_EMPTY), MakeVariant(VT_NULL), error, list, word, huge});
    EXPECT_EQ(S_FALSE, bad.hr);
    ASSERT_EQ(6u, bad.errors.size());
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(OPC_E_BADTYPE, bad.errors[i]) << "value " << i;
    EXPECT_EQ(OPC_E_RANGE, bad.errors[5]);
    VariantClear(&list);
    VariantClear(&word);

    EXPECT_EQ(sets, Calls("DLLSetObjectInfo")) << "nothing went to the driver";
    ReadResult cache;
    Read(io_.Get(), OPC_DS_CACHE, {a[0], a[1]}, cache);
    EXPECT_EQ(42, V_I4(&cache.states[0].vDataValue)) << "the cache keeps the device's value";
    EXPECT_EQ(V_I4(&first.states[1].vDataValue), V_I4(&cache.states[1].vDataValue));
}

TEST_F(Items, AttributeEnumeratorsAreSnapshots) {
    ComPtr<IEnumOPCItemAttributes> empty;
    ASSERT_EQ(S_OK, items_->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                             reinterpret_cast<IUnknown**>(empty.Put())));
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 9;
    EXPECT_EQ(S_FALSE, empty->Next(5, &records, &fetched));
    EXPECT_EQ(0u, fetched);
    CoTaskMemFree(records);

    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Text"});
    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(S_OK, items_->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                             reinterpret_cast<IUnknown**>(e.Put())));
    auto next = [](IEnumOPCItemAttributes* from, ULONG n, std::vector<OPCHANDLE>& handles) {
        OPCITEMATTRIBUTES* got = nullptr;
        ULONG count = 0;
        HRESULT hr = from->Next(n, &got, &count);
        for (ULONG i = 0; i < count; ++i) {
            handles.push_back(got[i].hServer);
            CoTaskMemFree(got[i].szAccessPath);
            CoTaskMemFree(got[i].szItemID);
            VariantClear(&got[i].vEUInfo);
        }
        CoTaskMemFree(got);
        return hr;
    };
    std::vector<OPCHANDLE> seen, cloneSeen;
    EXPECT_EQ(S_OK, next(e.Get(), 2, seen));
    ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(S_OK, e->Clone(clone.Put()));
    OPCHANDLE h = a[2];
    HRESULT* errors = nullptr;
    items_->RemoveItems(1, &h, &errors);  // not seen by the snapshot
    CoTaskMemFree(errors);
    EXPECT_EQ(S_FALSE, next(e.Get(), 2, seen));
    EXPECT_EQ((std::vector<OPCHANDLE>{a[0], a[1], a[2]}), seen);
    EXPECT_EQ(S_OK, next(clone.Get(), 1, cloneSeen));
    EXPECT_EQ((std::vector<OPCHANDLE>{a[2]}), cloneSeen);
}

// Items come and go while other client threads read and write the same group.
TEST_F(Items, ConcurrentReadersWritersAndItemChanges) {
    Added stable = AddItems(items_.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Count"});
    ASSERT_EQ(S_OK, stable.hr);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            while (!done) {
                if (t == 0) {
                    ReadResult r;
                    Read(io_.Get(), OPC_DS_DEVICE, {stable[0], stable[1]}, r);
                    if (r.hr != S_OK) ++failures;
                } else {
                    VARIANT v = MakeVariant(VT_I4);
                    V_I4(&v) = t;
                    if (Write(io_.Get(), {stable[1]}, {v}).hr != S_OK) ++failures;
                }
            }
            CoUninitialize();
        });
    }
    for (int round = 0; round < 30; ++round) {
        Added churn = AddItems(items_.Get(), {L"Probe.Dev.Text", L"Probe.Dev.Fixed"});
        if (churn.hr != S_OK) ++failures;
        HRESULT* errors = nullptr;
        OPCHANDLE handles[2] = {churn[0], churn[1]};
        if (items_->RemoveItems(2, handles, &errors) != S_OK) ++failures;
        CoTaskMemFree(errors);
    }
    done = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    ReadResult r;
    Read(io_.Get(), OPC_DS_CACHE, {stable[0], stable[1]}, r);
    EXPECT_EQ(S_OK, r.hr);
}

// A driver that takes many values in one call (DLLWriteValues) gets a client's Write of many
// items as one call: in the tag's type, in the client's order, no record read or written; a
// value it refuses is the client's E_FAIL and the item's cache keeps what it had.
class ValuesInOneCall : public Items {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) +
                "write_values=1\nwrite_refused=Dev.Count\n");
    }
};

TEST_F(ValuesInOneCall, AWriteOfManyItemsIsOneDriverCall) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Temp", L"Probe.Dev.Count", L"Probe.Dev.Text",
                                      L"Probe.Dev.Temp"});
    ASSERT_EQ(S_OK, a.hr);
    ReadResult before;
    Read(io_.Get(), OPC_DS_DEVICE, {a[1]}, before);  // the caches take the tags' values
    const size_t batches = Calls("DLLWriteValues"), sets = Calls("DLLSetObjectInfo"),
                 infos = Calls("DLLGetObjectInfo");
    VARIANT temp = MakeVariant(VT_R8), count = MakeVariant(VT_I4), later = MakeVariant(VT_R4);
    V_R8(&temp) = 30.5;
    V_I4(&count) = 9;
    V_R4(&later) = 31.5f;
    VARIANT text = MakeVariant(VT_BSTR);
    V_BSTR(&text) = SysAllocString(L"bye");
    WriteResult w = Write(io_.Get(), {a[0], a[1], a[2], a[3]}, {temp, count, text, later});
    VariantClear(&text);
    EXPECT_EQ(S_FALSE, w.hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, E_FAIL, S_OK, S_OK}), w.errors);
    EXPECT_EQ(batches + 1, Calls("DLLWriteValues"));
    EXPECT_EQ(sets, Calls("DLLSetObjectInfo"));
    EXPECT_EQ(infos, Calls("DLLGetObjectInfo"));
    std::string took;
    for (const ProbeCall& c : ReadProbeLog(install_->probe_))
        if (!c.entering && c.entry == "DLLWriteValues") took = c.args;
    // The tag's type (R4), as the client gave them, the refused one left out.
    EXPECT_NE(std::string::npos, took.find(":30.5;")) << took;
    EXPECT_NE(std::string::npos, took.find(":bye;")) << took;
    EXPECT_EQ(took.size() - 8, took.find(":31.5=>3")) << took;

    ReadResult cache;
    Read(io_.Get(), OPC_DS_CACHE, {a[0], a[1], a[2]}, cache);
    ASSERT_EQ(S_OK, cache.hr);
    EXPECT_EQ(VT_R4, V_VT(&cache.states[0].vDataValue));
    EXPECT_FLOAT_EQ(30.5f, V_R4(&cache.states[0].vDataValue)) << "each item its own value";
    EXPECT_EQ(7, V_I4(&cache.states[1].vDataValue)) << "refused: the cache keeps its value";
    ReadResult device;
    Read(io_.Get(), OPC_DS_DEVICE, {a[0], a[1], a[2]}, device);
    ASSERT_EQ(S_OK, device.hr);
    EXPECT_FLOAT_EQ(31.5f, V_R4(&device.states[0].vDataValue)) << "the last value of the tag";
    EXPECT_EQ(7, V_I4(&device.states[1].vDataValue));
    EXPECT_STREQ(L"bye", V_BSTR(&device.states[2].vDataValue));
}

}  // namespace

// A few bytes of request must not make an answer of gigabytes: ten thousand handles of an item
// holding a hundred thousand characters fail with E_OUTOFMEMORY and nothing is handed out,
// while a hundred of them still answer in full; the property calls keep to the same budget.
TEST_F(Items, AnswersThatWouldWeighGigabytesFailWithOutOfMemory) {
    Added a = AddItems(items_.Get(), {L"Probe.Dev.Text"});
    ASSERT_EQ(S_OK, a.hr);
    const std::wstring longText(100000, L'x');
    VARIANT text = MakeVariant(VT_BSTR);
    V_BSTR(&text) = SysAllocStringLen(longText.data(), static_cast<UINT>(longText.size()));
    WriteResult w = Write(io_.Get(), {a[0]}, {text});
    VariantClear(&text);
    ASSERT_EQ(S_OK, w.hr);

    ReadResult many;
    Read(io_.Get(), OPC_DS_CACHE, std::vector<OPCHANDLE>(10000, a[0]), many);
    EXPECT_EQ(E_OUTOFMEMORY, many.hr);
    ReadResult some;
    Read(io_.Get(), OPC_DS_CACHE, std::vector<OPCHANDLE>(100, a[0]), some);
    ASSERT_EQ(S_OK, some.hr);
    ASSERT_EQ(VT_BSTR, V_VT(&some.states[99].vDataValue));
    EXPECT_EQ(100000u, SysStringLen(V_BSTR(&some.states[99].vDataValue)));

    ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(S_OK, server_.As(properties));
    std::vector<DWORD> valueProperty(1000, 2);
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY,
              properties->GetItemProperties(const_cast<wchar_t*>(L"Probe.Dev.Text"), 1000,
                                            valueProperty.data(), &values, &errors));
    EXPECT_EQ(nullptr, values);
    EXPECT_EQ(nullptr, errors);
    // LookupItemIDs keeps to it too: ManyChildTags in address_space_inprocess_test.
}
