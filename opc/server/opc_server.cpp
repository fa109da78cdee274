#include "opc_server.h"

#include <vector>

#include "co_task_mem.h"
#include "com_call.h"
#include "configuration_file.h"
#include "configuration_status.h"
#include "error_text.h"
#include "public_groups.h"
#include "ready_flag.h"
#include "reporting_mode.h"
#include "resource_ids.h"
#include "shutdown_notice.h"
#include "scan_thread.h"
#include "server_identity.h"

namespace {

// The vendor text from the executable's string table; empty if it has none.
std::wstring LoadVendorInfo() {
    char text[512] = "";
    const int n = LoadStringA(GetModuleHandleW(nullptr), IDS_VENDOR_INFO, text, sizeof(text));
    if (n <= 0) return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text, n, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, n, wide.data(), length);
    return wide;
}

constexpr const wchar_t* kReportsChangesOnlyNote = L"; reports changes only";

bool ScopeHasPrivate(OPCENUMSCOPE scope) {
    return scope == OPC_ENUM_PRIVATE_CONNECTIONS || scope == OPC_ENUM_ALL_CONNECTIONS ||
           scope == OPC_ENUM_PRIVATE || scope == OPC_ENUM_ALL;
}

bool ScopeHasPublic(OPCENUMSCOPE scope) {
    return scope == OPC_ENUM_PUBLIC_CONNECTIONS || scope == OPC_ENUM_ALL_CONNECTIONS ||
           scope == OPC_ENUM_PUBLIC || scope == OPC_ENUM_ALL;
}

const wchar_t* NameOrEmpty(LPCWSTR name) {
    return name ? name : L"";
}

}  // namespace

OPCServer::OPCServer() noexcept : shutdownPoint_(static_cast<IOPCCommon*>(this), objectLock_) {
    CoFileTimeNow(&startTime_);
    try {
        vendorInfo_ = LoadVendorInfo();
        link_ = std::make_shared<ServerLink>(static_cast<GroupOwner*>(this));
    } catch (...) {
        // FinalConstruct reports the missing link as E_OUTOFMEMORY.
    }
}

OPCServer::~OPCServer() {
    // First of all: no shutdown notice and no group may reach this object any more.
    UnlistLiveServer(this);
    if (link_) link_->Cut();
    if (scanStarted_) Scanner().RequestStop();
    RemoveAllGroups(FALSE);
    shutdownPoint_.DisconnectAll();
}

void OPCServer::RemoveAllGroups(BOOL force) noexcept {
    for (;;) {
        OPCHANDLE first;
        {
            CriticalSectionLock lock(listLock_);
            first = groups_.FirstHandle();
        }
        if (!first) break;
        RemoveFrom(listLock_, groups_, first, force);
    }
}

HRESULT OPCServer::FinalConstruct() {
    if (!link_) return E_OUTOFMEMORY;
    WaitForApplicationReady();
    Scanner().RequestStart();
    scanStarted_ = true;
    client_ = OpenCallingProcess();
    ListLiveServer(this);
    return S_OK;
}

void OPCServer::DisconnectEndedClient() noexcept {
    client_.Reset();
    RemoveAllGroups(TRUE);
    shutdownPoint_.DisconnectAll();
    shutdownPoint_.DisconnectClients();
    CoDisconnectObject(Identity(), 0);
}

void* OPCServer::QueryExtra(REFIID riid) {
    if (riid == IID_IPersist) return static_cast<IPersistStorage*>(this);
    return nullptr;
}

// IOPCCommon

STDMETHODIMP OPCServer::SetLocaleID(LCID) {
    return E_NOTIMPL;
}

STDMETHODIMP OPCServer::GetLocaleID(LCID* lcid) {
    RETURN_HR_IF_NULL(E_POINTER, lcid);
    *lcid = kLocale;
    return S_OK;
}

STDMETHODIMP OPCServer::QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    RETURN_HR_IF_NULL(E_POINTER, lcids);
    return ComCall([&] {
        CoTaskArray<LCID> list(1);
        list[0] = kLocale;
        *lcids = list.Detach();
        *count = 1;
        return S_OK;
    });
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT error, LPWSTR* text) {
    return ErrorText(error, kLocale, text);
}

STDMETHODIMP OPCServer::SetClientName(LPCWSTR name) {
    return ComCall([&] {
        std::wstring copy = NameOrEmpty(name);
        CriticalSectionLock lock(listLock_);
        clientName_.swap(copy);
        return S_OK;
    });
}

// IOPCServer

ComPtr<COPCGroup> OPCServer::FindByName(GroupList& list, LPCWSTR name) {
    ComPtr<COPCGroup> found;
    list.ForEach([&](OPCHANDLE, ComPtr<COPCGroup>& group) {
        if (!group->HasName(name)) return true;
        found = group;
        return false;
    });
    return found;
}

STDMETHODIMP OPCServer::AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE hClientGroup,
                                 LONG* timeBias, FLOAT* deadband, DWORD lcid,
                                 OPCHANDLE* hServerGroup, DWORD* revisedRate, REFIID riid,
                                 LPUNKNOWN* unk) {
    RETURN_HR_IF_NULL(E_POINTER, hServerGroup);
    RETURN_HR_IF_NULL(E_POINTER, unk);
    *unk = nullptr;
    const wchar_t* groupName = NameOrEmpty(name);
    return ComCall([&] {
        {
            CriticalSectionLock lock(listLock_);
            if (FindByName(groups_, groupName)) return OPC_E_DUPLICATENAME;
        }
        ComPtr<COPCGroup> group;
        RETURN_IF_FAILED(COPCGroup::Create(link_, &group));

        // What the client leaves out gets the defaults of a new group.
        DWORD requestedRate = rate;
        BOOL activeState = active;
        LONG bias = timeBias ? *timeBias : COPCGroup::SystemTimeBias();
        FLOAT band = deadband ? *deadband : COPCGroup::kDefaultDeadband;
        DWORD locale = lcid;
        OPCHANDLE clientHandle = hClientGroup;
        RETURN_IF_FAILED(group->SetState(&requestedRate, revisedRate, &activeState, &bias, &band,
                                         &locale, &clientHandle));
        group->SetNameUnchecked(groupName);

        ComPtr<IUnknown> result;
        const HRESULT hr = group->QueryInterface(riid, result.PutVoid());
        if (FAILED(hr)) return hr;
        {
            CriticalSectionLock lock(listLock_);
            // Checked again: another thread may have added the name meanwhile.
            if (FindByName(groups_, groupName)) return OPC_E_DUPLICATENAME;
            const OPCHANDLE handle = groups_.Append(group);
            group->SetServerHandle(handle);
            *hServerGroup = handle;
        }
        *unk = result.Detach();
        return hr;
    });  // a discarded group is released here, outside the lock
}

STDMETHODIMP OPCServer::GetErrorString(HRESULT error, LCID locale, LPWSTR* text) {
    // LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT and the like name no language: the server's.
    const bool neutral = PRIMARYLANGID(LANGIDFROMLCID(locale)) == LANG_NEUTRAL;
    return ErrorText(error, neutral ? kLocale : locale, text);
}

HRESULT OPCServer::QueryGroupIn(CriticalSection& lock, GroupList& list, LPCWSTR name, REFIID riid,
                                LPUNKNOWN* unk) {
    RETURN_HR_IF_NULL(E_POINTER, unk);
    *unk = nullptr;
    ComPtr<COPCGroup> group;
    {
        CriticalSectionLock held(lock);
        group = FindByName(list, NameOrEmpty(name));
    }
    if (!group) return E_FAIL;
    return group->QueryInterface(riid, reinterpret_cast<void**>(unk));
}

STDMETHODIMP OPCServer::GetGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) {
    return QueryGroupIn(listLock_, groups_, name, riid, unk);
}

STDMETHODIMP OPCServer::GetStatus(OPCSERVERSTATUS** status) {
    RETURN_HR_IF_NULL(E_POINTER, status);
    *status = nullptr;
    return ComCall([&] {
        DWORD groupCount;
        {
            CriticalSectionLock lock(listLock_);
            groupCount = static_cast<DWORD>(groups_.Size());
        }
        {
            PublicGroupList& pub = PublicGroups();
            CriticalSectionLock lock(pub.lock);
            groupCount += static_cast<DWORD>(pub.groups.Size());
        }
        // A default configuration that did not load leaves the address space empty or stale:
        // the client learns it here rather than from a wall of unknown items.
        const std::wstring problem = ConfigurationProblem();
        CoTaskArray<OPCSERVERSTATUS> s(1);
        // The reporting mode goes with the vendor text, where every status display shows it;
        // the text stays as it always was in the default mode.
        std::wstring vendorText = vendorInfo_;
        if (ReportsChangesOnly()) vendorText += kReportsChangesOnlyNote;
        if (!problem.empty()) vendorText += L". " + problem;
        CoTaskString vendor(vendorText.c_str());
        s[0].ftStartTime = startTime_;
        CoFileTimeNow(&s[0].ftCurrentTime);
        s[0].ftLastUpdateTime = startTime_;
        s[0].dwServerState = problem.empty() ? OPC_STATUS_RUNNING : OPC_STATUS_NOCONFIG;
        s[0].dwGroupCount = groupCount;
        s[0].dwBandWidth = 0xFFFFFFFF;
        // The project's version (CMakeLists.txt), which the packages carry too.
        s[0].wMajorVersion = OPC_VERSION_MAJOR;
        s[0].wMinorVersion = OPC_VERSION_MINOR;
        s[0].wBuildNumber = OPC_VERSION_BUILD;
        s[0].szVendorInfo = vendor.Detach();
        *status = s.Detach();
        return S_OK;
    });
}

HRESULT OPCServer::RemoveFrom(CriticalSection& lock, GroupList& list, OPCHANDLE handle,
                              BOOL force) {
    ComPtr<COPCGroup> group;
    {
        CriticalSectionLock held(lock);
        if (!list.Remove(handle, group)) return E_FAIL;
    }
    if (force) {
        group->Disconnect();
        return S_OK;
    }
    const ULONG left = group.Detach()->Release();
    return left ? OPC_S_INUSE : S_OK;
}

STDMETHODIMP OPCServer::RemoveGroup(OPCHANDLE group, BOOL force) {
    return RemoveFrom(listLock_, groups_, group, force);
}

STDMETHODIMP OPCServer::CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID riid, LPUNKNOWN* unk) {
    RETURN_HR_IF_NULL(E_POINTER, unk);
    *unk = nullptr;
    if (riid != IID_IEnumUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
    return ComCall([&] {
        std::vector<ComPtr<COPCGroup>> selected;
        auto collect = [&](GroupList& list) {
            list.ForEach([&](OPCHANDLE, ComPtr<COPCGroup>& group) {
                selected.push_back(group);
                return true;
            });
        };
        if (ScopeHasPrivate(scope)) {
            CriticalSectionLock lock(listLock_);
            collect(groups_);
        }
        if (ScopeHasPublic(scope)) {
            PublicGroupList& pub = PublicGroups();
            CriticalSectionLock lock(pub.lock);
            collect(pub.groups);
        }
        ComPtr<IUnknown> self(Identity());
        if (riid == IID_IEnumUnknown) {
            std::vector<ComPtr<IUnknown>> items;
            for (const ComPtr<COPCGroup>& group : selected)
                items.emplace_back(static_cast<IOPCGroupStateMgt*>(group.Get()));
            return EnumUnknown::CreateInto(std::move(items), std::move(self),
                                           reinterpret_cast<IEnumUnknown**>(unk));
        }
        std::vector<std::wstring> names;
        for (const ComPtr<COPCGroup>& group : selected) names.push_back(group->Name());
        return EnumString::CreateInto(std::move(names), std::move(self),
                                      reinterpret_cast<IEnumString**>(unk));
    });
}

// IOPCServerPublicGroups

STDMETHODIMP OPCServer::GetPublicGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) {
    PublicGroupList& pub = PublicGroups();
    return QueryGroupIn(pub.lock, pub.groups, name, riid, unk);
}

STDMETHODIMP OPCServer::RemovePublicGroup(OPCHANDLE group, BOOL force) {
    PublicGroupList& pub = PublicGroups();
    return RemoveFrom(pub.lock, pub.groups, group, force);
}

// What the groups ask of their server.

HRESULT OPCServer::RenameGroup(COPCGroup& group, LPCWSTR name) {
    return ComCall([&] {
        CriticalSectionLock lock(listLock_);
        if (FindByName(groups_, NameOrEmpty(name))) return OPC_E_DUPLICATENAME;
        group.SetNameUnchecked(NameOrEmpty(name));
        return S_OK;
    });
}

HRESULT OPCServer::MoveGroupToPublic(COPCGroup& group) {
    return ComCall([&] {
        PublicGroupList& pub = PublicGroups();
        CriticalSectionLock lock(listLock_);
        CriticalSectionLock publicLock(pub.lock);
        const std::wstring name = group.Name();
        if (FindByName(pub.groups, name.c_str())) return OPC_E_DUPLICATENAME;
        const OPCHANDLE privateHandle = group.ServerHandle();
        ComPtr<COPCGroup>* entry = groups_.Find(privateHandle);
        if (!entry || entry->Get() != &group) return S_OK;  // no longer this server's group
        // The public entry first: if it cannot be had, the group stays where it was.
        const OPCHANDLE publicHandle = pub.groups.Append(*entry);
        ComPtr<COPCGroup> privateReference;
        groups_.Remove(privateHandle, privateReference);
        group.MarkPublic();
        group.SetServerHandle(publicHandle);
        return S_OK;  // the private reference is released here; the public one keeps the group
    });
}

// IConnectionPointContainer

STDMETHODIMP OPCServer::EnumConnectionPoints(IEnumConnectionPoints** out) {
    return EnumConnectionPointsOf({&shutdownPoint_}, Identity(), out);
}

STDMETHODIMP OPCServer::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
    return FindConnectionPointIn({&shutdownPoint_}, riid, out);
}

// IPersistStorage: the storage is handed to the drivers; the result is E_FAIL whatever they
// did, which is what existing clients of this server have always seen.

STDMETHODIMP OPCServer::GetClassID(CLSID* clsid) {
    RETURN_HR_IF_NULL(E_POINTER, clsid);
    *clsid = kServerClsid;
    return S_OK;
}

STDMETHODIMP OPCServer::IsDirty() {
    return E_FAIL;
}

STDMETHODIMP OPCServer::InitNew(IStorage*) {
    return E_FAIL;
}

STDMETHODIMP OPCServer::Load(IStorage* storage) {
    if (storage) LoadConfiguration(storage);
    return E_FAIL;
}

STDMETHODIMP OPCServer::Save(IStorage* storage, BOOL) {
    if (storage) SaveConfigurationTo(storage);
    return E_FAIL;
}

STDMETHODIMP OPCServer::SaveCompleted(IStorage*) {
    return S_OK;
}

STDMETHODIMP OPCServer::HandsOffStorage() {
    return S_OK;
}
