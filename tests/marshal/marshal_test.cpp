// Every parameter shape of the OPC interfaces, called from this process into the marshaling
// probe (another process) through our proxy/stub DLLs. Each value must arrive intact: widl's
// proxy generator has shipped wrong offsets for exactly these shapes before.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "co_task_mem.h"
#include "com_object.h"
#include "com_ptr.h"
#include "opc.h"
#include "probe_ids.h"
#include "sync.h"
#include "variants.h"

namespace {

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// A CoTaskMem array of n elements received from a call, freed (with its elements) at scope end.
template <class T>
struct Received {
    T* p = nullptr;
    ~Received() { CoTaskMemFree(p); }
    T& operator[](size_t i) const { return p[i]; }
};

ComPtr<IUnknown> CreateProbe() {
    ComPtr<IUnknown> probe;
    HRESULT hr = CoCreateInstance(CLSID_MarshalProbe, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                  probe.PutVoid());
    EXPECT_EQ(S_OK, hr);
    return probe;
}

class Marshal : public testing::Test {
  protected:
    void SetUp() override {
        probe_ = CreateProbe();
        ASSERT_TRUE(probe_);
    }
    template <class I>
    ComPtr<I> As() {
        ComPtr<I> p;
        EXPECT_EQ(S_OK, probe_.As(p));
        return p;
    }
    ComPtr<IUnknown> probe_;
};

TEST_F(Marshal, ServerStatusArrivesFromAnotherProcess) {
    auto server = As<IOPCServer>();
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status));
    ASSERT_NE(nullptr, status);
    EXPECT_NE(GetCurrentProcessId(), status->dwBandWidth) << "the probe must run out of process";
    EXPECT_TRUE(SameTime(ProbeTime(1), status->ftStartTime));
    EXPECT_TRUE(SameTime(ProbeTime(2), status->ftCurrentTime));
    EXPECT_TRUE(SameTime(ProbeTime(3), status->ftLastUpdateTime));
    EXPECT_EQ(OPC_STATUS_TEST, status->dwServerState);
    EXPECT_EQ(1u, status->dwGroupCount);
    EXPECT_EQ(1, status->wMajorVersion);
    EXPECT_EQ(2, status->wMinorVersion);
    EXPECT_EQ(3, status->wBuildNumber);
    ASSERT_NE(nullptr, status->szVendorInfo);
    EXPECT_STREQ(kProbeVendor, status->szVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST_F(Marshal, OutStringsOfEveryAffectedMethodArrive) {
    CoTaskString text;
    ASSERT_EQ(S_OK, As<IOPCCommon>()->GetErrorString(E_FAIL, text.Put()));
    ASSERT_NE(nullptr, text.Get());
    EXPECT_STREQ(L"1049: ошибка 0x80004005", text.Get());

    ASSERT_EQ(S_OK, As<IOPCServer>()->GetErrorString(OPC_E_BADRIGHTS, 1033, text.Put()));
    ASSERT_NE(nullptr, text.Get());
    EXPECT_STREQ(L"1033: ошибка 0xC0040006", text.Get());

    ASSERT_EQ(S_OK, As<IOPCBrowseServerAddressSpace>()->GetItemID(const_cast<LPWSTR>(L"Тег"),
                                                                  text.Put()));
    ASSERT_NE(nullptr, text.Get());
    EXPECT_STREQ(L"Устройство.Тег", text.Get());

    CoTaskString progId, userType, versionIndependent;
    ASSERT_EQ(S_OK,
              As<IOPCServerList2>()->GetClassDetails(CLSID_MarshalProbe, progId.Put(),
                                                     userType.Put(), versionIndependent.Put()));
    ASSERT_NE(nullptr, progId.Get());
    ASSERT_NE(nullptr, userType.Get());
    ASSERT_NE(nullptr, versionIndependent.Get());
    EXPECT_STREQ(kProbeProgId, progId.Get());
    EXPECT_STREQ(L"Проверочный сервер", userType.Get());
    EXPECT_STREQ(L"OPCServerVEXA.Probe", versionIndependent.Get());
}

TEST_F(Marshal, LocaleCallsAndSizedOutArray) {
    auto common = As<IOPCCommon>();
    ASSERT_EQ(S_OK, common->SetLocaleID(1033));
    LCID lcid = 0;
    ASSERT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(1033u, lcid);
    DWORD count = 0;
    Received<LCID> lcids;
    ASSERT_EQ(S_OK, common->QueryAvailableLocaleIDs(&count, &lcids.p));
    ASSERT_EQ(3u, count);
    EXPECT_EQ(1049u, lcids[0]);
    EXPECT_EQ(1033u, lcids[1]);
    EXPECT_EQ(static_cast<LCID>(LOCALE_NEUTRAL), lcids[2]);
}

TEST_F(Marshal, UniqueInputsPassedAsNullAndIidIsOutputs) {
    auto server = As<IOPCServer>();
    OPCHANDLE hServer = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> group;
    ASSERT_EQ(S_OK,
              server->AddGroup(L"Группа", TRUE, 250, 7, nullptr, nullptr, 1049, &hServer, &revised,
                               IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(group.Put())));
    ASSERT_TRUE(group);
    EXPECT_EQ(kProbeGroupHandleBase + 7, hServer);
    EXPECT_EQ(500u, revised);

    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    CoTaskString name;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE hClient = 0, hServer2 = 0;
    ASSERT_EQ(S_OK, group->GetState(&rate, &active, name.Put(), &bias, &deadband, &lcid, &hClient,
                                    &hServer2));
    ASSERT_NE(nullptr, name.Get());
    EXPECT_STREQ(L"Группа", name.Get());
    EXPECT_EQ(250u, rate);
    EXPECT_TRUE(active);
    EXPECT_EQ(kProbeTimeBiasNotGiven, bias);
    EXPECT_EQ(kProbeDeadbandNotGiven, deadband);
    EXPECT_EQ(1049u, lcid);
    EXPECT_EQ(7u, hClient);
    EXPECT_EQ(hServer, hServer2);

    // Given values arrive; in SetState every null leaves its value alone.
    LONG givenBias = -180;
    FLOAT givenDeadband = 2.5f;
    ComPtr<IUnknown> again;
    ASSERT_EQ(S_OK, server->AddGroup(L"G", FALSE, 100, 8, &givenBias, &givenDeadband, 1033,
                                     &hServer, &revised, IID_IUnknown, again.Put()));
    EXPECT_TRUE(again == probe_) << "an IUnknown returned through iid_is keeps the identity";
    DWORD newRate = 1000;
    BOOL newActive = TRUE;
    ASSERT_EQ(S_OK,
              group->SetState(&newRate, &revised, &newActive, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1000u, revised);
    ASSERT_EQ(S_OK, group->GetState(&rate, &active, name.Put(), &bias, &deadband, &lcid, &hClient,
                                    &hServer2));
    EXPECT_STREQ(L"G", name.Get());
    EXPECT_EQ(1000u, rate);
    EXPECT_TRUE(active);
    EXPECT_EQ(-180, bias);
    EXPECT_EQ(2.5f, deadband);
    EXPECT_EQ(1033u, lcid);
    EXPECT_EQ(8u, hClient);

    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, server->GetGroupByName(L"G", IID_IOPCItemMgt,
                                           reinterpret_cast<IUnknown**>(items.Put())));
    ASSERT_TRUE(items);
    ComPtr<IUnknown> none;
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"нет такой", IID_IOPCItemMgt, none.Put()));
    EXPECT_FALSE(none);
    EXPECT_EQ(S_OK, server->RemoveGroup(kProbeGroupHandleBase + 8, FALSE));
}

std::vector<std::wstring> DrainStrings(IEnumString* e, ULONG chunk, HRESULT* last) {
    std::vector<std::wstring> out;
    for (;;) {
        std::vector<LPOLESTR> batch(chunk, nullptr);
        ULONG fetched = 0;
        *last = e->Next(chunk, batch.data(), &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            out.emplace_back(batch[i] ? batch[i] : L"<null>");
            CoTaskMemFree(batch[i]);
        }
        if (*last != S_OK) return out;
    }
}

TEST_F(Marshal, SnapshotEnumeratorsWorkThroughTheSystemProxies) {
    auto server = As<IOPCServer>();
    ComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                                  reinterpret_cast<IUnknown**>(names.Put())));
    HRESULT last = E_FAIL;
    EXPECT_EQ((std::vector<std::wstring>{L"Группа 1", L"Group 2", L""}),
              DrainStrings(names.Get(), 2, &last));
    EXPECT_EQ(S_FALSE, last);
    ASSERT_EQ(S_OK, names->Reset());
    EXPECT_EQ(S_OK, names->Skip(1));
    ComPtr<IEnumString> clone;
    ASSERT_EQ(S_OK, names->Clone(clone.Put()));
    EXPECT_EQ((std::vector<std::wstring>{L"Group 2", L""}), DrainStrings(clone.Get(), 5, &last));

    ComPtr<IEnumUnknown> groups;
    ASSERT_EQ(S_OK, server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                                  reinterpret_cast<IUnknown**>(groups.Put())));
    IUnknown* element[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, groups->Next(2, element, &fetched));
    ASSERT_EQ(1u, fetched);
    ComPtr<IUnknown> first = ComPtr<IUnknown>::Attach(element[0]);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, first.As(identity));
    EXPECT_TRUE(identity == probe_);

    auto browse = As<IOPCBrowseServerAddressSpace>();
    ComPtr<IEnumString> ids;
    ASSERT_EQ(S_OK, browse->BrowseOPCItemIDs(OPC_FLAT, L"Датчик", VT_EMPTY, 0, ids.Put()));
    EXPECT_EQ((std::vector<std::wstring>{L"Датчик.1", L"Датчик.2"}),
              DrainStrings(ids.Get(), 1, &last));
    ComPtr<IEnumString> empty;
    ASSERT_EQ(S_OK, browse->BrowseAccessPaths(L"x", empty.Put()));
    EXPECT_TRUE(DrainStrings(empty.Get(), 3, &last).empty());
    EXPECT_EQ(S_FALSE, last);
    EXPECT_EQ(S_FALSE, empty->Skip(1));
    OPCNAMESPACETYPE type{};
    EXPECT_EQ(S_OK, browse->QueryOrganization(&type));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, type);
    EXPECT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    EXPECT_EQ(E_INVALIDARG, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
}

TEST_F(Marshal, PropertyStringArraysAndVariantsOut) {
    auto properties = As<IOPCItemProperties>();
    DWORD count = 0;
    Received<DWORD> ids;
    Received<LPWSTR> descriptions;
    Received<VARTYPE> types;
    ASSERT_EQ(S_OK, properties->QueryAvailableProperties(const_cast<LPWSTR>(L"Котёл.T"), &count,
                                                         &ids.p, &descriptions.p, &types.p));
    ASSERT_EQ(3u, count);
    EXPECT_EQ(OPC_PROPERTY_DATATYPE, ids[0]);
    EXPECT_EQ(OPC_PROPERTY_VALUE, ids[1]);
    EXPECT_EQ(OPC_PROPERTY_DESCRIPTION, ids[2]);
    EXPECT_EQ(VT_I2, types[0]);
    EXPECT_EQ(VT_VARIANT, types[1]);
    EXPECT_EQ(VT_BSTR, types[2]);
    EXPECT_STREQ(OPC_PROPERTY_DESC_DATATYPE, descriptions[0]);
    EXPECT_STREQ(L"Значение", descriptions[1]);
    EXPECT_STREQ(L"Описание Котёл.T", descriptions[2]);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);

    DWORD asked[] = {OPC_PROPERTY_DATATYPE, OPC_PROPERTY_VALUE, OPC_PROPERTY_DESCRIPTION, 9999};
    Received<VARIANT> values;
    Received<HRESULT> errors;
    ASSERT_EQ(S_FALSE, properties->GetItemProperties(const_cast<LPWSTR>(L"Котёл.T"), 4, asked,
                                                     &values.p, &errors.p));
    EXPECT_EQ(VT_I2, V_VT(&values[0]));
    EXPECT_EQ(VT_R8, V_I2(&values[0]));
    EXPECT_EQ(L"Котёл.T", BstrOf(values[1]));
    EXPECT_EQ((std::vector<double>{1.5, 2.5, 3.5}), DoubleArrayOf(values[2]));
    EXPECT_EQ(VT_EMPTY, V_VT(&values[3]));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[3]);
    for (int i = 0; i < 4; ++i) VariantClear(&values[i]);

    Received<LPWSTR> newIds;
    Received<HRESULT> lookupErrors;
    DWORD lookup[] = {OPC_PROPERTY_DATATYPE, 101, 5000};
    ASSERT_EQ(S_FALSE, properties->LookupItemIDs(const_cast<LPWSTR>(L"Котёл"), 3, lookup, &newIds.p,
                                                 &lookupErrors.p));
    EXPECT_EQ(nullptr, newIds[0]);
    ASSERT_NE(nullptr, newIds[1]);
    ASSERT_NE(nullptr, newIds[2]);
    EXPECT_STREQ(L"Котёл.101", newIds[1]);
    EXPECT_STREQ(L"Котёл.5000", newIds[2]);
    EXPECT_EQ(OPC_E_INVALID_PID, lookupErrors[0]);
    EXPECT_EQ(S_OK, lookupErrors[1]);
    for (int i = 0; i < 3; ++i) CoTaskMemFree(newIds[i]);
}

TEST_F(Marshal, ItemDefinitionsInResultsAndAttributesOut) {
    auto items = As<IOPCItemMgt>();
    BYTE blob[] = {1, 2, 3, 4, 5};
    OPCITEMDEF defs[3] = {};
    defs[0].szAccessPath = const_cast<LPWSTR>(L"COM1");
    defs[0].szItemID = const_cast<LPWSTR>(L"Насос.Давление");
    defs[0].bActive = TRUE;
    defs[0].hClient = 11;
    defs[0].dwBlobSize = sizeof(blob);
    defs[0].pBlob = blob;
    defs[0].vtRequestedDataType = VT_R4;
    defs[1].szAccessPath = const_cast<LPWSTR>(L"");
    defs[1].szItemID = const_cast<LPWSTR>(L"");
    defs[1].hClient = 12;
    defs[2].szAccessPath = nullptr;  // embedded strings are unique pointers
    defs[2].szItemID = const_cast<LPWSTR>(L"Насос.Обороты");
    defs[2].hClient = 13;
    Received<OPCITEMRESULT> results;
    Received<HRESULT> errors;
    ASSERT_EQ(S_FALSE, items->AddItems(3, defs, &results.p, &errors.p));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors[1]);
    EXPECT_EQ(S_OK, errors[2]);
    EXPECT_EQ(110u, results[0].hServer);
    EXPECT_EQ(VT_R8, results[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, results[0].dwAccessRights);
    ASSERT_EQ(5u, results[0].dwBlobSize);
    ASSERT_NE(nullptr, results[0].pBlob);
    EXPECT_EQ((std::vector<BYTE>{5, 4, 3, 2, 1}),
              std::vector<BYTE>(results[0].pBlob, results[0].pBlob + 5));
    EXPECT_EQ(0u, results[2].dwBlobSize);
    EXPECT_EQ(nullptr, results[2].pBlob);
    for (int i = 0; i < 3; ++i) CoTaskMemFree(results[i].pBlob);

    ComPtr<IEnumOPCItemAttributes> attributes;
    ASSERT_EQ(S_OK, items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                            reinterpret_cast<IUnknown**>(attributes.Put())));
    Received<OPCITEMATTRIBUTES> list;
    ULONG fetched = 0;
    ASSERT_EQ(S_FALSE, attributes->Next(10, &list.p, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_STREQ(L"COM1", list[0].szAccessPath);
    EXPECT_STREQ(L"Насос.Давление", list[0].szItemID);
    EXPECT_STREQ(L"", list[1].szAccessPath);
    EXPECT_STREQ(L"Насос.Обороты", list[1].szItemID);
    EXPECT_EQ(11u, list[0].hClient);
    EXPECT_EQ(110u, list[0].hServer);
    EXPECT_EQ(VT_R4, list[0].vtRequestedDataType);
    EXPECT_EQ(VT_R8, list[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_ANALOG, list[0].dwEUType);
    EXPECT_EQ((std::vector<double>{0.0, 100.0}), DoubleArrayOf(list[0].vEUInfo));
    ASSERT_EQ(5u, list[0].dwBlobSize);
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 4, 5}),
              std::vector<BYTE>(list[0].pBlob, list[0].pBlob + 5));
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(list[i].szAccessPath);
        CoTaskMemFree(list[i].szItemID);
        CoTaskMemFree(list[i].pBlob);
        VariantClear(&list[i].vEUInfo);
    }
}

TEST_F(Marshal, SyncReadAndWriteCarryBstrAndSafeArrayValues) {
    auto io = As<IOPCSyncIO>();
    OPCHANDLE handles[] = {4, 5, 6, 7};
    Received<OPCITEMSTATE> states;
    Received<HRESULT> errors;
    ASSERT_EQ(S_FALSE, io->Read(OPC_DS_DEVICE, 4, handles, &states.p, &errors.p));
    EXPECT_EQ(L"Значение 4", BstrOf(states[0].vDataValue));
    EXPECT_EQ((std::vector<double>{5.0, 5.5}), DoubleArrayOf(states[1].vDataValue));
    EXPECT_EQ(VT_I4, V_VT(&states[2].vDataValue));
    EXPECT_EQ(6000, V_I4(&states[2].vDataValue));
    EXPECT_EQ(VT_EMPTY, V_VT(&states[3].vDataValue));
    EXPECT_EQ(OPC_QUALITY_LOCAL_OVERRIDE, states[0].wQuality);
    EXPECT_EQ(OPC_QUALITY_BAD, states[3].wQuality);
    EXPECT_EQ(105u, states[1].hClient);
    EXPECT_TRUE(SameTime(ProbeTime(6), states[2].ftTimeStamp));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[3]);
    for (int i = 0; i < 4; ++i) VariantClear(&states[i].vDataValue);

    Variant values[] = {MakeBstr(L"Записано"), MakeDoubleArray({3.25, -7}), Variant()};
    VARIANT raw[] = {*values[0].Get(), *values[1].Get(), *values[2].Get()};
    OPCHANDLE targets[] = {8, 9, 10};
    Received<HRESULT> writeErrors;
    ASSERT_EQ(S_FALSE, io->Write(3, targets, raw, &writeErrors.p));
    EXPECT_EQ(S_OK, writeErrors[0]);
    EXPECT_EQ(S_OK, writeErrors[1]);
    EXPECT_EQ(OPC_E_BADTYPE, writeErrors[2]);

    Received<OPCITEMSTATE> back;
    Received<HRESULT> backErrors;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_CACHE, 2, targets, &back.p, &backErrors.p));
    EXPECT_EQ(L"Записано", BstrOf(back[0].vDataValue));
    EXPECT_EQ((std::vector<double>{3.25, -7}), DoubleArrayOf(back[1].vDataValue));
    EXPECT_EQ(OPC_QUALITY_GOOD, back[0].wQuality);
    for (int i = 0; i < 2; ++i) VariantClear(&back[i].vDataValue);
}

TEST_F(Marshal, StringArraysInAndTimeAndErrorArraysOut) {
    auto itemIo = As<IOPCItemIO>();
    LPCWSTR ids[] = {L"Линия.Скорость", L"", L"B"};
    DWORD maxAge[] = {192, 64, 0};
    Received<VARIANT> values;
    Received<WORD> qualities;
    Received<FILETIME> times;
    Received<HRESULT> errors;
    ASSERT_EQ(S_FALSE, itemIo->Read(3, ids, maxAge, &values.p, &qualities.p, &times.p, &errors.p));
    EXPECT_EQ(L"Линия.Скорость", BstrOf(values[0]));
    EXPECT_EQ(L"B", BstrOf(values[2]));
    EXPECT_EQ(192, qualities[0]);
    EXPECT_EQ(0, qualities[2]);
    EXPECT_TRUE(SameTime(ProbeTime(0), times[0]));
    EXPECT_TRUE(SameTime(ProbeTime(2), times[2]));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors[1]);
    for (int i = 0; i < 3; ++i) VariantClear(&values[i]);

    auto browse = As<IOPCBrowse>();
    LPWSTR items[] = {const_cast<LPWSTR>(L"Печь.T1"), const_cast<LPWSTR>(L"Печь.T2")};
    DWORD pids[] = {1, 101};
    Received<OPCITEMPROPERTIES> props;
    ASSERT_EQ(S_OK, browse->GetProperties(2, items, TRUE, 2, pids, &props.p));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(2u, props[i].dwNumProperties);
        OPCITEMPROPERTY* p = props[i].pItemProperties;
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(std::wstring(items[i]) + L"/1", p[0].szItemID);
        EXPECT_EQ(std::wstring(items[i]) + L"/101", p[1].szItemID);
        EXPECT_STREQ(L"Свойство", p[1].szDescription);
        EXPECT_EQ(101u, p[1].dwPropertyID);
        EXPECT_EQ(std::wstring(items[i]), BstrOf(p[1].vValue));
        for (int k = 0; k < 2; ++k) {
            CoTaskMemFree(p[k].szItemID);
            CoTaskMemFree(p[k].szDescription);
            VariantClear(&p[k].vValue);
        }
        CoTaskMemFree(p);
    }
}

TEST_F(Marshal, InOutContinuationPointIsReplaced) {
    auto browse = As<IOPCBrowse>();
    LPWSTR continuation = CoTaskStrDup(L"");
    std::vector<std::wstring> names;
    DWORD noProperties[1] = {};  // an [in, size_is] array is a ref pointer even when empty
    for (int page = 0; page < 2; ++page) {
        BOOL more = FALSE;
        DWORD count = 0;
        Received<OPCBROWSEELEMENT> elements;
        ASSERT_EQ(S_OK, browse->Browse(const_cast<LPWSTR>(L"Цех"), &continuation, 0,
                                       OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(L""),
                                       const_cast<LPWSTR>(L""), FALSE, FALSE, 0, noProperties,
                                       &more, &count, &elements.p));
        ASSERT_EQ(2u, count);
        EXPECT_EQ(page == 0, more != FALSE);
        for (DWORD i = 0; i < count; ++i) {
            names.emplace_back(elements[i].szItemID);
            EXPECT_EQ(static_cast<DWORD>(OPC_BROWSE_ISITEM), elements[i].dwFlagValue);
            CoTaskMemFree(elements[i].szName);
            CoTaskMemFree(elements[i].szItemID);
        }
        if (page == 0) {
            ASSERT_NE(nullptr, continuation);
            EXPECT_STREQ(kProbeContinuation, continuation);
        }
    }
    EXPECT_EQ(nullptr, continuation);
    EXPECT_EQ((std::vector<std::wstring>{L"Цех.А", L"Цех.Б", L"Цех.В", L"Цех.Г"}), names);
}

// Client-side sinks: record what arrives, from whatever thread it arrives on.
struct Recorded {
    CriticalSection lock;
    UniqueHandle arrived{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::wstring> calls;
    DWORD threadId = 0;

    void Add(std::wstring call) {
        CriticalSectionLock l(lock);
        calls.push_back(std::move(call));
        threadId = GetCurrentThreadId();
        SetEvent(arrived.Get());
    }
    std::vector<std::wstring> Calls() {
        CriticalSectionLock l(lock);
        return calls;
    }
};

class ShutdownSink final : public ComObject<ShutdownSink, IOPCShutdown> {
  public:
    explicit ShutdownSink(Recorded* r) : r_(r) {}
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        r_->Add(reason ? reason : L"<null>");
        return S_OK;
    }

  private:
    Recorded* r_;
};

std::wstring Describe(DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                      FILETIME* times, HRESULT* errors) {
    std::wstring s;
    for (DWORD i = 0; i < count; ++i) {
        wchar_t line[128];
        swprintf(line, 128, L"[h%lu q%02X e%08lX t%08lX:%08lX ",
                 static_cast<unsigned long>(handles[i]), qualities[i],
                 static_cast<unsigned long>(errors[i]),
                 static_cast<unsigned long>(times[i].dwHighDateTime),
                 static_cast<unsigned long>(times[i].dwLowDateTime));
        s += line;
        if (V_VT(&values[i]) == VT_BSTR) s += BstrOf(values[i]);
        for (double d : DoubleArrayOf(values[i])) s += std::to_wstring(d) + L";";
        if (V_VT(&values[i]) == VT_I4) s += std::to_wstring(V_I4(&values[i]));
        s += L"]";
    }
    return s;
}

class DataSink final : public ComObject<DataSink, IOPCDataCallback> {
  public:
    explicit DataSink(Recorded* r) : r_(r) {}
    STDMETHODIMP OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error,
                              DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                              FILETIME* times, HRESULT* errors) override {
        r_->Add(L"change " + Head(transaction, group, quality, error) +
                Describe(count, handles, values, qualities, times, errors));
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error,
                                DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                                FILETIME* times, HRESULT* errors) override {
        r_->Add(L"read " + Head(transaction, group, quality, error) +
                Describe(count, handles, values, qualities, times, errors));
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT error, DWORD count,
                                 OPCHANDLE* handles, HRESULT* errors) override {
        std::wstring s = L"write " + Head(transaction, group, error, error);
        for (DWORD i = 0; i < count; ++i)
            s += std::to_wstring(handles[i]) + L"=" + std::to_wstring(errors[i]) + L";";
        r_->Add(s);
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD transaction, OPCHANDLE group) override {
        r_->Add(L"cancel " + std::to_wstring(transaction) + L"," + std::to_wstring(group));
        return S_OK;
    }

  private:
    static std::wstring Head(DWORD t, OPCHANDLE g, HRESULT q, HRESULT e) {
        return std::to_wstring(t) + L"," + std::to_wstring(g) + L"," + std::to_wstring(q) + L"," +
               std::to_wstring(e) + L" ";
    }
    Recorded* r_;
};

// Waits for `n` recorded calls; an STA thread pumps messages meanwhile, since its
// incoming calls arrive as window messages.
bool WaitForCalls(Recorded& r, size_t n, bool pump) {
    const DWORD deadline = GetTickCount() + 20000;
    while (r.Calls().size() < n) {
        if (GetTickCount() > deadline) return false;
        HANDLE h = r.arrived.Get();
        if (pump) {
            MsgWaitForMultipleObjects(1, &h, FALSE, 50, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        } else {
            WaitForSingleObject(h, 50);
        }
        ResetEvent(h);
    }
    return true;
}

TEST_F(Marshal, ShutdownSinkIsCalledFromAServerThread) {
    ComPtr<IConnectionPointContainer> container = As<IConnectionPointContainer>();
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCShutdown, point.Put()));
    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IOPCServer, none.Put()));

    IID iid{};
    ASSERT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(iid == IID_IOPCShutdown);
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(back.Put()));
    ComPtr<IUnknown> backIdentity;
    ASSERT_EQ(S_OK, back.As(backIdentity));
    EXPECT_TRUE(backIdentity == probe_);

    Recorded recorded;
    auto sink = ShutdownSink::Make(&recorded);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(sink->Identity(), &cookie));
    EXPECT_NE(0u, cookie);

    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.Put()));
    CONNECTDATA data[4] = {};
    ULONG fetched = 0;
    connections->Next(4, data, &fetched);
    // Wine's IEnumConnections proxy can garble the count: judge by the elements.
    ASSERT_NE(nullptr, data[0].pUnk);
    EXPECT_EQ(cookie, data[0].dwCookie);
    EXPECT_EQ(nullptr, data[1].pUnk);
    data[0].pUnk->Release();

    ASSERT_EQ(S_OK, As<IOPCCommon>()->SetClientName(L"Клиент №1"));
    ASSERT_TRUE(WaitForCalls(recorded, 1, false));
    EXPECT_EQ(std::wstring(kProbeShutdownPrefix) + L"Клиент №1", recorded.Calls()[0]);
    EXPECT_NE(GetCurrentThreadId(), recorded.threadId);

    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
}

TEST_F(Marshal, DataCallbacksCarryValueTimeAndErrorArrays) {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, As<IConnectionPointContainer>()->FindConnectionPoint(IID_IOPCDataCallback,
                                                                         point.Put()));
    Recorded recorded;
    auto sink = DataSink::Make(&recorded);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(sink->Identity(), &cookie));
    DWORD cancelId = 0;
    ASSERT_EQ(S_OK, As<IOPCAsyncIO2>()->Refresh2(OPC_DS_DEVICE, 41, &cancelId));
    EXPECT_EQ(42u, cancelId);
    ASSERT_TRUE(WaitForCalls(recorded, 4, false));
    const std::wstring items =
        L"[h1 qC0 e00000000 t01D9A00A:1000000A Привет]"
        L"[h2 q44 e0004000E t01D9A014:10000014 -1.250000;0.000000;" +
        std::to_wstring(1e300) + L";][h3 q00 eC0040006 t01D9A01E:1000001E 2]";
    const std::wstring head = L"41,4096,1,1 ";
    auto calls = recorded.Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(L"change " + head + items, calls[0]);
    EXPECT_EQ(L"read " + head + items, calls[1]);
    EXPECT_EQ(L"write " + head + L"1=0;2=262158;3=-1073479674;", calls[2]);
    EXPECT_EQ(L"cancel 41,4096", calls[3]);
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}

// A single-threaded client (as most HMIs are) receives the callbacks through its message loop.
TEST(MarshalApartment, SingleThreadedClientReceivesCallbacks) {
    std::wstring failure;
    std::thread client([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ComPtr<IUnknown> probe = CreateProbe();
            ComPtr<IConnectionPointContainer> container;
            ComPtr<IConnectionPoint> point;
            Recorded recorded;
            auto sink = ShutdownSink::Make(&recorded);
            DWORD cookie = 0;
            ComPtr<IOPCCommon> common;
            if (!probe || FAILED(probe.As(container)) ||
                FAILED(container->FindConnectionPoint(IID_IOPCShutdown, point.Put())) ||
                FAILED(point->Advise(sink->Identity(), &cookie)) || FAILED(probe.As(common)) ||
                FAILED(common->SetClientName(L"STA"))) {
                failure = L"set-up failed";
            } else if (!WaitForCalls(recorded, 1, true)) {
                failure = L"no callback";
            } else {
                if (recorded.Calls()[0] != std::wstring(kProbeShutdownPrefix) + L"STA")
                    failure = L"wrong text: " + recorded.Calls()[0];
                if (recorded.threadId != GetCurrentThreadId())
                    failure = L"an STA sink must be called on its own thread";
                point->Unadvise(cookie);
            }
        }
        CoUninitialize();
    });
    client.join();
    EXPECT_TRUE(failure.empty()) << std::string(failure.begin(), failure.end());
}

}  // namespace
