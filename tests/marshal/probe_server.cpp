// The marshaling probe: a local COM server whose one object answers the OPC interfaces with
// known, easily checked data (Cyrillic strings, BSTR and SAFEARRAY values, FILETIME and
// HRESULT arrays, optional inputs echoed back) and calls its clients' sinks from its own
// threads. The client side is marshal_tests.cpp.
#include <windows.h>
#include <shellapi.h>
#include <algorithm>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "class_factory.h"
#include "co_task_mem.h"
#include "com_call.h"
#include "com_object.h"
#include "connection_point.h"
#include "enumerators.h"
#include "opc.h"
#include "probe_ids.h"
#include "server_module.h"
#include "variants.h"

namespace {

// Deep copy of one OPCITEMATTRIBUTES into client-owned memory.
void CopyAttributes(const OPCITEMATTRIBUTES& from, OPCITEMATTRIBUTES& to) {
    to = from;
    to.szAccessPath = CoTaskStrDup(from.szAccessPath);
    to.szItemID = CoTaskStrDup(from.szItemID);
    to.pBlob = nullptr;
    if (from.dwBlobSize) {
        CoTaskArray<BYTE> blob(from.dwBlobSize);
        memcpy(blob.Get(), from.pBlob, from.dwBlobSize);
        to.pBlob = blob.Detach();
    }
    VariantInit(&to.vEUInfo);
    VariantCopy(&to.vEUInfo, const_cast<VARIANT*>(&from.vEUInfo));
}

struct ProbeItem {
    std::wstring accessPath;
    std::wstring itemId;
    OPCHANDLE hClient;
    OPCHANDLE hServer;
    std::vector<BYTE> blob;
    VARTYPE requested;
};

// IEnumOPCItemAttributes over a copy of the probe's items.
class ProbeItemEnum final : public ComObject<ProbeItemEnum, IEnumOPCItemAttributes> {
  public:
    ProbeItemEnum(std::vector<ProbeItem> items, size_t position)
        : items_(std::move(items)), position_(position) {}

    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** items, ULONG* fetched) override {
        if (!items || !fetched) return E_POINTER;
        *items = nullptr;
        *fetched = 0;
        return ComCall([&] {
            size_t n = std::min<size_t>(celt, items_.size() - position_);
            CoTaskArray<OPCITEMATTRIBUTES> out(n);
            Variant eu = MakeDoubleArray({0.0, 100.0});
            for (size_t i = 0; i < n; ++i) {
                const ProbeItem& item = items_[position_ + i];
                OPCITEMATTRIBUTES a{};
                a.szAccessPath = const_cast<wchar_t*>(item.accessPath.c_str());
                a.szItemID = const_cast<wchar_t*>(item.itemId.c_str());
                a.bActive = TRUE;
                a.hClient = item.hClient;
                a.hServer = item.hServer;
                a.dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
                a.dwBlobSize = static_cast<DWORD>(item.blob.size());
                a.pBlob = const_cast<BYTE*>(item.blob.data());
                a.vtRequestedDataType = item.requested;
                a.vtCanonicalDataType = VT_R8;
                a.dwEUType = OPC_ANALOG;
                a.vEUInfo = *eu.Get();
                CopyAttributes(a, out[i]);
            }
            position_ += n;
            *fetched = static_cast<ULONG>(n);
            *items = out.Detach();
            return n < celt ? S_FALSE : S_OK;
        });
    }
    STDMETHODIMP Skip(ULONG celt) override {
        position_ = std::min<size_t>(items_.size(), position_ + celt);
        return position_ == items_.size() ? S_FALSE : S_OK;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumOPCItemAttributes** out) override {
        if (!out) return E_POINTER;
        return ComCall([&] {
            *out = ProbeItemEnum::Make(items_, position_).Detach();
            return S_OK;
        });
    }

  private:
    std::vector<ProbeItem> items_;
    size_t position_;
};

class MarshalProbe final
    : public ComObject<MarshalProbe, IOPCServer, IOPCCommon, IOPCGroupStateMgt,
                       IOPCBrowseServerAddressSpace, IOPCItemProperties, IOPCItemMgt, IOPCSyncIO,
                       IOPCAsyncIO2, IOPCItemIO, IOPCBrowse, IOPCServerList2,
                       IConnectionPointContainer> {
  public:
    MarshalProbe()
        : shutdownPoint_(static_cast<IOPCServer*>(this), lock_),
          dataPoint_(static_cast<IOPCServer*>(this), lock_) {}
    ~MarshalProbe() override {
        shutdownPoint_.DisconnectAll();
        dataPoint_.DisconnectAll();
    }

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE hClientGroup,
                          LONG* timeBias, FLOAT* deadband, DWORD lcid, OPCHANDLE* hServerGroup,
                          DWORD* revisedRate, REFIID riid, LPUNKNOWN* unk) override {
        return ComCall([&] {
            {
                CriticalSectionLock lock(lock_);
                groupName_ = name ? name : L"";
                active_ = active;
                rate_ = rate;
                hClientGroup_ = hClientGroup;
                timeBias_ = timeBias ? *timeBias : kProbeTimeBiasNotGiven;
                deadband_ = deadband ? *deadband : kProbeDeadbandNotGiven;
                lcid_ = lcid;
            }
            *hServerGroup = kProbeGroupHandleBase + hClientGroup;
            *revisedRate = rate * 2;
            return QueryInterface(riid, reinterpret_cast<void**>(unk));
        });
    }
    STDMETHODIMP GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override {
        return ComCall([&] {
            wchar_t buffer[96];
            swprintf(buffer, 96, L"%lu: ошибка 0x%08lX", static_cast<unsigned long>(locale),
                     static_cast<unsigned long>(error));
            *text = CoTaskStrDup(buffer);
            return S_OK;
        });
    }
    STDMETHODIMP GetGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) override {
        *unk = nullptr;
        {
            CriticalSectionLock lock(lock_);
            if (!name || groupName_ != name) return E_INVALIDARG;
        }
        return QueryInterface(riid, reinterpret_cast<void**>(unk));
    }
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override {
        return ComCall([&] {
            CoTaskArray<OPCSERVERSTATUS> s(1);
            s[0].ftStartTime = ProbeTime(1);
            s[0].ftCurrentTime = ProbeTime(2);
            s[0].ftLastUpdateTime = ProbeTime(3);
            s[0].dwServerState = OPC_STATUS_TEST;
            s[0].dwGroupCount = 1;
            s[0].dwBandWidth = GetCurrentProcessId();  // lets the client see it is remote
            s[0].wMajorVersion = 1;
            s[0].wMinorVersion = 2;
            s[0].wBuildNumber = 3;
            s[0].szVendorInfo = CoTaskStrDup(kProbeVendor);
            *status = s.Detach();
            return S_OK;
        });
    }
    STDMETHODIMP RemoveGroup(OPCHANDLE group, BOOL) override {
        CriticalSectionLock lock(lock_);
        return group == kProbeGroupHandleBase + hClientGroup_ ? S_OK : E_FAIL;
    }
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID riid, LPUNKNOWN* unk) override {
        *unk = nullptr;
        if (scope != OPC_ENUM_ALL) return E_INVALIDARG;
        if (riid == IID_IEnumString)
            return EnumString::CreateInto({L"Группа 1", L"Group 2", L""}, ComPtr(Identity()),
                                          reinterpret_cast<IEnumString**>(unk));
        if (riid == IID_IEnumUnknown)
            return EnumUnknown::CreateInto({ComPtr(Identity())}, ComPtr(Identity()),
                                           reinterpret_cast<IEnumUnknown**>(unk));
        return E_NOINTERFACE;
    }

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID lcid) override {
        CriticalSectionLock lock(lock_);
        locale_ = lcid;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        CriticalSectionLock lock(lock_);
        *lcid = locale_;
        return S_OK;
    }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override {
        return ComCall([&] {
            CoTaskArray<LCID> list(3);
            list[0] = 1049;
            list[1] = 1033;
            list[2] = LOCALE_NEUTRAL;
            *count = 3;
            *lcids = list.Detach();
            return S_OK;
        });
    }
    STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override {
        return GetErrorString(error, kProbeDefaultLocale, text);
    }
    // Answers at once, then tells every IOPCShutdown sink from a thread of its own.
    STDMETHODIMP SetClientName(LPCWSTR name) override {
        return ComCall([&] {
            std::wstring reason = kProbeShutdownPrefix + std::wstring(name ? name : L"");
            ComPtr<MarshalProbe> self(this);
            std::thread([self, reason] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                for (auto& sink : self->shutdownPoint_.Sinks())
                    sink->ShutdownRequest(reason.c_str());
                CoUninitialize();
            }).detach();
            return S_OK;
        });
    }

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* timeBias, FLOAT* deadband,
                          DWORD* lcid, OPCHANDLE* hClient, OPCHANDLE* hServer) override {
        return ComCall([&] {
            CriticalSectionLock lock(lock_);
            *name = CoTaskStrDup(groupName_.c_str());
            *rate = rate_;
            *active = active_;
            *timeBias = timeBias_;
            *deadband = deadband_;
            *lcid = lcid_;
            *hClient = hClientGroup_;
            *hServer = kProbeGroupHandleBase + hClientGroup_;
            return S_OK;
        });
    }
    STDMETHODIMP SetState(DWORD* rate, DWORD* revisedRate, BOOL* active, LONG* timeBias,
                          FLOAT* deadband, DWORD* lcid, OPCHANDLE* hClient) override {
        CriticalSectionLock lock(lock_);
        if (rate) rate_ = *rate;
        if (active) active_ = *active;
        if (timeBias) timeBias_ = *timeBias;
        if (deadband) deadband_ = *deadband;
        if (lcid) lcid_ = *lcid;
        if (hClient) hClientGroup_ = *hClient;
        *revisedRate = rate_;
        return S_OK;
    }
    STDMETHODIMP SetName(LPCWSTR name) override {
        return ComCall([&] {
            CriticalSectionLock lock(lock_);
            groupName_ = name ? name : L"";
            return S_OK;
        });
    }
    STDMETHODIMP CloneGroup(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) override {
        RETURN_IF_FAILED(SetName(name));
        return QueryInterface(riid, reinterpret_cast<void**>(unk));
    }

    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* type) override {
        *type = OPC_NS_HIERARCHIAL;
        return S_OK;
    }
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR) override {
        return direction == OPC_BROWSE_TO ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE, DWORD,
                                  LPENUMSTRING* result) override {
        if (type != OPC_FLAT) return E_INVALIDARG;
        std::wstring f = filter ? filter : L"";
        return EnumString::CreateInto({f + L".1", f + L".2"}, nullptr, result);
    }
    STDMETHODIMP GetItemID(LPWSTR dataId, LPWSTR* itemId) override {
        return ComCall([&] {
            *itemId = CoTaskStrDup((L"Устройство." + std::wstring(dataId ? dataId : L"")).c_str());
            return S_OK;
        });
    }
    STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING* result) override {
        return EnumString::CreateInto({}, nullptr, result);
    }

    // IOPCItemProperties
    STDMETHODIMP QueryAvailableProperties(LPWSTR itemId, DWORD* count, DWORD** ids,
                                          LPWSTR** descriptions, VARTYPE** types) override {
        return ComCall([&] {
            CoTaskArray<DWORD> idArray(3);
            CoTaskArray<LPWSTR> textArray(3);
            CoTaskArray<VARTYPE> typeArray(3);
            const DWORD propertyIds[] = {OPC_PROPERTY_DATATYPE, OPC_PROPERTY_VALUE,
                                         OPC_PROPERTY_DESCRIPTION};
            const VARTYPE propertyTypes[] = {VT_I2, VT_VARIANT, VT_BSTR};
            const std::wstring texts[] = {OPC_PROPERTY_DESC_DATATYPE, L"Значение",
                                          L"Описание " + std::wstring(itemId ? itemId : L"")};
            try {
                for (int i = 0; i < 3; ++i) {
                    idArray[i] = propertyIds[i];
                    typeArray[i] = propertyTypes[i];
                    textArray[i] = CoTaskStrDup(texts[i].c_str());
                }
            } catch (...) {
                for (int i = 0; i < 3; ++i) CoTaskMemFree(textArray[i]);
                throw;
            }
            *count = 3;
            *ids = idArray.Detach();
            *descriptions = textArray.Detach();
            *types = typeArray.Detach();
            return S_OK;
        });
    }
    STDMETHODIMP GetItemProperties(LPWSTR itemId, DWORD count, DWORD* ids, VARIANT** data,
                                   HRESULT** errors) override {
        return ComCall([&] {
            CoTaskArray<VARIANT> values(count);
            CoTaskArray<HRESULT> results(count);
            HRESULT overall = S_OK;
            for (DWORD i = 0; i < count; ++i) {
                Variant v;
                switch (ids[i]) {
                    case OPC_PROPERTY_DATATYPE:
                        V_VT(v.Get()) = VT_I2;
                        V_I2(v.Get()) = VT_R8;
                        break;
                    case OPC_PROPERTY_VALUE:
                        v = MakeBstr(itemId);
                        break;
                    case OPC_PROPERTY_DESCRIPTION:
                        v = MakeDoubleArray({1.5, 2.5, 3.5});
                        break;
                    default:
                        results[i] = OPC_E_INVALID_PID;
                        overall = S_FALSE;
                }
                v.DetachTo(&values[i]);
            }
            *data = values.Detach();
            *errors = results.Detach();
            return overall;
        });
    }
    STDMETHODIMP LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* ids, LPWSTR** newIds,
                               HRESULT** errors) override {
        return ComCall([&] {
            CoTaskArray<LPWSTR> names(count);
            CoTaskArray<HRESULT> results(count);
            HRESULT overall = S_OK;
            try {
                for (DWORD i = 0; i < count; ++i) {
                    if (ids[i] == OPC_PROPERTY_DATATYPE) {
                        results[i] = OPC_E_INVALID_PID;  // its element stays null
                        overall = S_FALSE;
                        continue;
                    }
                    names[i] = CoTaskStrDup(
                        (std::wstring(itemId) + L"." + std::to_wstring(ids[i])).c_str());
                }
            } catch (...) {
                for (DWORD i = 0; i < count; ++i) CoTaskMemFree(names[i]);
                throw;
            }
            *newIds = names.Detach();
            *errors = results.Detach();
            return overall;
        });
    }

    // IOPCItemMgt: AddItems echoes what it received; CreateEnumerator lists it.
    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                          HRESULT** errors) override {
        return ComCall([&] {
            CoTaskArray<OPCITEMRESULT> out(count);
            CoTaskArray<HRESULT> codes(count);
            HRESULT overall = S_OK;
            std::vector<ProbeItem> added;
            try {
                for (DWORD i = 0; i < count; ++i) {
                    const OPCITEMDEF& d = defs[i];
                    if (!d.szItemID || !*d.szItemID) {
                        codes[i] = OPC_E_INVALIDITEMID;
                        overall = S_FALSE;
                        continue;
                    }
                    ProbeItem item{d.szAccessPath ? d.szAccessPath : L"",
                                   d.szItemID,
                                   d.hClient,
                                   d.hClient * 10,
                                   {},
                                   d.vtRequestedDataType};
                    item.blob.assign(d.pBlob, d.pBlob + d.dwBlobSize);
                    out[i].hServer = item.hServer;
                    out[i].vtCanonicalDataType = VT_R8;
                    out[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
                    // The blob comes back reversed, so both directions are checked.
                    if (d.dwBlobSize) {
                        CoTaskArray<BYTE> blob(d.dwBlobSize);
                        for (DWORD b = 0; b < d.dwBlobSize; ++b)
                            blob[b] = d.pBlob[d.dwBlobSize - 1 - b];
                        out[i].dwBlobSize = d.dwBlobSize;
                        out[i].pBlob = blob.Detach();
                    }
                    added.push_back(std::move(item));
                }
            } catch (...) {
                for (DWORD i = 0; i < count; ++i) CoTaskMemFree(out[i].pBlob);
                throw;
            }
            {
                CriticalSectionLock lock(lock_);
                items_.insert(items_.end(), added.begin(), added.end());
            }
            *results = out.Detach();
            *errors = codes.Detach();
            return overall;
        });
    }
    STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP RemoveItems(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* unk) override {
        *unk = nullptr;
        if (riid != IID_IEnumOPCItemAttributes) return E_NOINTERFACE;
        return ComCall([&] {
            std::vector<ProbeItem> copy;
            {
                CriticalSectionLock lock(lock_);
                copy = items_;
            }
            *unk = static_cast<IEnumOPCItemAttributes*>(
                ProbeItemEnum::Make(std::move(copy), 0).Detach());
            return S_OK;
        });
    }

    // IOPCSyncIO: values written are kept per handle and read back.
    STDMETHODIMP Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                      HRESULT** errors) override {
        return ComCall([&] {
            CoTaskArray<OPCITEMSTATE> out(count);
            CoTaskArray<HRESULT> codes(count);
            HRESULT overall = S_OK;
            for (DWORD i = 0; i < count; ++i) {
                const OPCHANDLE h = handles[i];
                OPCITEMSTATE& s = out[i];
                s.hClient = h + 100;
                s.ftTimeStamp = ProbeTime(h);
                s.wQuality =
                    source == OPC_DS_DEVICE ? OPC_QUALITY_LOCAL_OVERRIDE : OPC_QUALITY_GOOD;
                Variant v;
                {
                    CriticalSectionLock lock(lock_);
                    auto written = written_.find(h);
                    if (written != written_.end()) v = written->second;
                }
                if (v.Type() == VT_EMPTY) {
                    switch (h % 4) {
                        case 0:
                            v = MakeBstr((L"Значение " + std::to_wstring(h)).c_str());
                            break;
                        case 1:
                            v = MakeDoubleArray({double(h), h + 0.5});
                            break;
                        case 2:
                            v = MakeI4(static_cast<LONG>(h) * 1000);
                            break;
                        default:
                            s.wQuality = OPC_QUALITY_BAD;
                            codes[i] = OPC_E_INVALIDHANDLE;
                            overall = S_FALSE;
                    }
                }
                v.DetachTo(&s.vDataValue);
            }
            *states = out.Detach();
            *errors = codes.Detach();
            return overall;
        });
    }
    STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values,
                       HRESULT** errors) override {
        return ComCall([&] {
            CoTaskArray<HRESULT> codes(count);
            HRESULT overall = S_OK;
            for (DWORD i = 0; i < count; ++i) {
                if (V_VT(&values[i]) == VT_EMPTY) {
                    codes[i] = OPC_E_BADTYPE;
                    overall = S_FALSE;
                    continue;
                }
                Variant copy(values[i]);
                CriticalSectionLock lock(lock_);
                written_[handles[i]] = std::move(copy);
            }
            *errors = codes.Detach();
            return overall;
        });
    }

    // IOPCAsyncIO2: Refresh2 answers through every IOPCDataCallback method, from a thread.
    STDMETHODIMP Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancelId) override {
        if (dataPoint_.Sinks().empty()) return CONNECT_E_NOCONNECTION;
        *cancelId = transaction + 1;
        return ComCall([&] {
            ComPtr<MarshalProbe> self(this);
            std::thread([self, source, transaction] {
                self->SendCallbacks(source, transaction);
            }).detach();
            return S_OK;
        });
    }
    STDMETHODIMP Cancel2(DWORD) override { return S_OK; }
    STDMETHODIMP SetEnable(BOOL enable) override {
        CriticalSectionLock lock(lock_);
        enable_ = enable;
        return S_OK;
    }
    STDMETHODIMP GetEnable(BOOL* enable) override {
        CriticalSectionLock lock(lock_);
        *enable = enable_;
        return S_OK;
    }

    // IOPCItemIO: the value is the item ID, the quality the max age it came with.
    STDMETHODIMP Read(DWORD count, LPCWSTR* ids, DWORD* maxAge, VARIANT** values, WORD** qualities,
                      FILETIME** times, HRESULT** errors) override {
        return ComCall([&] {
            CoTaskArray<VARIANT> v(count);
            CoTaskArray<WORD> q(count);
            CoTaskArray<FILETIME> t(count);
            CoTaskArray<HRESULT> e(count);
            HRESULT overall = S_OK;
            for (DWORD i = 0; i < count; ++i) {
                if (!ids[i] || !*ids[i]) {
                    e[i] = OPC_E_INVALIDITEMID;
                    overall = S_FALSE;
                    continue;
                }
                MakeBstr(ids[i]).DetachTo(&v[i]);
                q[i] = static_cast<WORD>(maxAge[i]);
                t[i] = ProbeTime(i);
            }
            *values = v.Detach();
            *qualities = q.Detach();
            *times = t.Detach();
            *errors = e.Detach();
            return overall;
        });
    }
    STDMETHODIMP WriteVQT(DWORD, LPCWSTR*, OPCITEMVQT*, HRESULT**) override { return E_NOTIMPL; }

    // IOPCBrowse
    STDMETHODIMP GetProperties(DWORD itemCount, LPWSTR* ids, BOOL withValues, DWORD propertyCount,
                               DWORD* propertyIds, OPCITEMPROPERTIES** result) override {
        return ComCall([&] {
            CoTaskArray<OPCITEMPROPERTIES> out(itemCount);
            std::vector<CoTaskArray<OPCITEMPROPERTY>> lists;
            for (DWORD i = 0; i < itemCount; ++i) {
                CoTaskArray<OPCITEMPROPERTY> list(propertyCount);
                for (DWORD p = 0; p < propertyCount; ++p) {
                    OPCITEMPROPERTY& prop = list[p];
                    prop.vtDataType = VT_BSTR;
                    prop.dwPropertyID = propertyIds[p];
                    prop.szItemID = CoTaskStrDup(
                        (std::wstring(ids[i]) + L"/" + std::to_wstring(propertyIds[p])).c_str());
                    prop.szDescription = CoTaskStrDup(L"Свойство");
                    if (withValues) MakeBstr(ids[i]).DetachTo(&prop.vValue);
                }
                out[i].dwNumProperties = propertyCount;
                lists.push_back(std::move(list));
            }
            for (DWORD i = 0; i < itemCount; ++i) out[i].pItemProperties = lists[i].Detach();
            *result = out.Detach();
            return S_OK;
        });
    }
    // Two elements per page; the continuation point moves from "" to kProbeContinuation to
    // null (the end).
    STDMETHODIMP Browse(LPWSTR itemId, LPWSTR* continuation, DWORD, OPCBROWSEFILTER, LPWSTR, LPWSTR,
                        BOOL, BOOL, DWORD, DWORD*, BOOL* more, DWORD* count,
                        OPCBROWSEELEMENT** elements) override {
        return ComCall([&] {
            const bool second = *continuation && wcscmp(*continuation, kProbeContinuation) == 0;
            CoTaskArray<OPCBROWSEELEMENT> out(2);
            const wchar_t* names[] = {second ? L"В" : L"А", second ? L"Г" : L"Б"};
            for (int i = 0; i < 2; ++i) {
                out[i].szName = CoTaskStrDup(names[i]);
                out[i].szItemID = CoTaskStrDup((std::wstring(itemId) + L"." + names[i]).c_str());
                out[i].dwFlagValue = OPC_BROWSE_ISITEM;
            }
            wchar_t* next = second ? nullptr : CoTaskStrDup(kProbeContinuation);
            CoTaskMemFree(*continuation);
            *continuation = next;
            *more = !second;
            *count = 2;
            *elements = out.Detach();
            return S_OK;
        });
    }

    // IOPCServerList2
    STDMETHODIMP EnumClassesOfCategories(ULONG, CATID*, ULONG, CATID*, IOPCEnumGUID**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType,
                                 LPOLESTR* versionIndependent) override {
        if (clsid != CLSID_MarshalProbe) return E_INVALIDARG;
        return ComCall([&] {
            CoTaskString a(kProbeProgId), b(L"Проверочный сервер"), c(L"OPCServerVEXA.Probe");
            *progId = a.Detach();
            *userType = b.Detach();
            *versionIndependent = c.Detach();
            return S_OK;
        });
    }
    STDMETHODIMP CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) override {
        return ::CLSIDFromProgID(progId, clsid);
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        return EnumConnectionPointsOf({&shutdownPoint_, &dataPoint_}, Identity(), out);
    }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        return FindConnectionPointIn({&shutdownPoint_, &dataPoint_}, riid, out);
    }

  private:
    void SendCallbacks(OPCDATASOURCE source, DWORD transaction) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            OPCHANDLE clients[] = {1, 2, 3};
            Variant values[] = {MakeBstr(L"Привет"), MakeDoubleArray({-1.25, 0, 1e300}),
                                MakeI4(source == OPC_DS_DEVICE ? 2 : 1)};
            VARIANT raw[3] = {*values[0].Get(), *values[1].Get(), *values[2].Get()};
            WORD qualities[] = {OPC_QUALITY_GOOD, OPC_QUALITY_LAST_USABLE, OPC_QUALITY_BAD};
            FILETIME times[] = {ProbeTime(10), ProbeTime(20), ProbeTime(30)};
            HRESULT errors[] = {S_OK, OPC_S_CLAMP, OPC_E_BADRIGHTS};
            const OPCHANDLE group = kProbeGroupHandleBase;
            for (auto& sink : dataPoint_.Sinks()) {
                sink->OnDataChange(transaction, group, S_FALSE, S_FALSE, 3, clients, raw, qualities,
                                   times, errors);
                sink->OnReadComplete(transaction, group, S_FALSE, S_FALSE, 3, clients, raw,
                                     qualities, times, errors);
                sink->OnWriteComplete(transaction, group, S_FALSE, 3, clients, errors);
                sink->OnCancelComplete(transaction, group);
            }
        }
        CoUninitialize();
    }

    CriticalSection lock_;
    ConnectionPoint<IOPCShutdown> shutdownPoint_;
    ConnectionPoint<IOPCDataCallback> dataPoint_;
    LCID locale_ = kProbeDefaultLocale;
    std::wstring groupName_;
    BOOL active_ = FALSE;
    DWORD rate_ = 0;
    OPCHANDLE hClientGroup_ = 0;
    LONG timeBias_ = 0;
    FLOAT deadband_ = 0;
    DWORD lcid_ = 0;
    BOOL enable_ = TRUE;
    std::vector<ProbeItem> items_;
    std::map<OPCHANDLE, Variant> written_;
};

LONG SetKeyValue(HKEY root, const std::wstring& path, const wchar_t* name,
                 const std::wstring& value) {
    HKEY key;
    LONG r = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS) return r;
    r = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return r;
}

int Register() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring clsidKey = kProbeClsidKey;
    LONG r = SetKeyValue(HKEY_CLASSES_ROOT, clsidKey, nullptr, L"OPCServerVEXA marshaling probe");
    if (r == ERROR_SUCCESS)
        r = SetKeyValue(HKEY_CLASSES_ROOT, clsidKey + L"\\LocalServer32", nullptr,
                        L"\"" + std::wstring(path) + L"\"");
    if (r == ERROR_SUCCESS)
        r = SetKeyValue(HKEY_CLASSES_ROOT, std::wstring(kProbeProgId) + L"\\CLSID", nullptr,
                        clsidKey.substr(6));
    return r == ERROR_SUCCESS ? 0 : 1;
}

int Unregister() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kProbeClsidKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kProbeProgId);
    return 0;
}

int Serve() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // Create the thread's message queue before the monitor may post to it.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    Module().SetMainThreadId(GetCurrentThreadId());
    Module().StartMonitor(1000);
    IClassFactory* factory = ClassFactory<MarshalProbe>::New();
    if (factory) {
        Module().RegisterClassObject(CLSID_MarshalProbe, factory,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
        factory->Release();
        CoResumeClassObjects();
    }
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    Module().RevokeClassObjects();
    CoUninitialize();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"/RegServer") == 0) return Register();
        if (_wcsicmp(argv[i], L"/UnregServer") == 0) return Unregister();
    }
    return Serve();
}
