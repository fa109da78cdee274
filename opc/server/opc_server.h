// OPCServer: the COM object a client creates, one per connection. It waits for the end of
// start-up, keeps the scan thread running while it lives, owns the client's private groups,
// lets the client browse the address space (DA 2.0 and 3.0) and read item properties, and
// offers the IOPCShutdown connection point.
//
// Concurrent calls: the list lock guards the private group list and the client name; the
// public list has its own lock (taken after this one). Groups are released and disconnected
// outside both locks, since a group's end waits for its running update cycle.
#pragma once

#include <windows.h>
#include <memory>
#include <string>

#include "address_space_browser.h"
#include "calling_process.h"
#include "com_object.h"
#include "connection_point.h"
#include "continuation_points.h"
#include "opc.h"
#include "opc_group.h"
#include "pooled_list.h"
#include "server_link.h"
#include "sync.h"

class OPCServer final
    : public ComObject<OPCServer, IOPCCommon, IOPCServer, IOPCServerPublicGroups,
                       IOPCBrowseServerAddressSpace, IOPCItemProperties, IOPCBrowse,
                       IConnectionPointContainer, IPersistStorage, IOPCItemIO>,
      private GroupOwner {
  public:
    static constexpr LCID kLocale = 1049;

    OPCServer() noexcept;
    ~OPCServer() override;

    HRESULT FinalConstruct();
    void* QueryExtra(REFIID riid);

    // The advised IOPCShutdown sinks, counted, for a call outside every lock (clients that
    // have gone are left out). Throws std::bad_alloc.
    std::vector<ComPtr<IOPCShutdown>> ShutdownSinks() { return shutdownPoint_.Sinks(); }

    // Whether the client process whose call created this object has ended (known only for an
    // object created by a call from another process of this machine).
    bool ClientEnded() const noexcept { return ProcessEnded(client_); }
    // Cuts what that client held: its groups are removed as by a forced RemoveGroup, its
    // shutdown sinks dropped, and the references it held on this object and its shutdown
    // point released, so that the object (and the process) can end. Once.
    void DisconnectEndedClient() noexcept;

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID lcid) override;
    STDMETHODIMP GetLocaleID(LCID* lcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override;
    STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override;
    STDMETHODIMP SetClientName(LPCWSTR name) override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE hClientGroup,
                          LONG* timeBias, FLOAT* deadband, DWORD lcid, OPCHANDLE* hServerGroup,
                          DWORD* revisedRate, REFIID riid, LPUNKNOWN* unk) override;
    STDMETHODIMP GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override;
    STDMETHODIMP GetGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE group, BOOL force) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID riid, LPUNKNOWN* unk) override;

    // IOPCServerPublicGroups
    STDMETHODIMP GetPublicGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) override;
    STDMETHODIMP RemovePublicGroup(OPCHANDLE group, BOOL force) override;

    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                      LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // IOPCItemProperties
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions,
                                          VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                   VARIANT** ppvData, HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                               LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

    // IOPCItemIO: reads and writes by item identifier, without a group (item_io_calls.cpp)
    STDMETHODIMP Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                      WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT,
                          HRESULT** ppErrors) override;
    // IOPCBrowse
    STDMETHODIMP GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                               DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                               OPCITEMPROPERTIES** ppItemProperties) override;
    STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                        OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter,
                        LPWSTR szVendorFilter, BOOL bReturnAllProperties,
                        BOOL bReturnPropertyValues, DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                        BOOL* pbMoreElements, DWORD* pdwCount,
                        OPCBROWSEELEMENT** ppBrowseElements) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

    // IPersistStorage (IPersist::GetClassID included)
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP InitNew(IStorage* storage) override;
    STDMETHODIMP Load(IStorage* storage) override;
    STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
    STDMETHODIMP SaveCompleted(IStorage* storage) override;
    STDMETHODIMP HandsOffStorage() override;

  private:
    using GroupList = PooledList<ComPtr<COPCGroup>>;

    // GroupOwner: what this object's groups ask of it.
    HRESULT RenameGroup(COPCGroup& group, LPCWSTR name) override;
    HRESULT MoveGroupToPublic(COPCGroup& group) override;

    static ComPtr<COPCGroup> FindByName(GroupList& list, LPCWSTR name);
    // The named group of `list` (looked up under `lock`) asked for `riid`; E_FAIL if none.
    static HRESULT QueryGroupIn(CriticalSection& lock, GroupList& list, LPCWSTR name, REFIID riid,
                                LPUNKNOWN* unk);
    // Takes a group out of `list` under `lock`, then releases or disconnects it outside.
    static HRESULT RemoveFrom(CriticalSection& lock, GroupList& list, OPCHANDLE handle, BOOL force);
    // Every private group, as RemoveGroup(force) would remove it.
    void RemoveAllGroups(BOOL force) noexcept;

    bool scanStarted_ = false;
    FILETIME startTime_{};
    std::wstring vendorInfo_;

    CriticalSection listLock_;  // groups_ and clientName_
    GroupList groups_;
    std::wstring clientName_;
    std::shared_ptr<ServerLink> link_;
    UniqueHandle client_;  // the creating client's process, until DisconnectEndedClient

    AddressSpaceBrowser browser_;            // the browse position, with its own lock
    ContinuationPoints continuationPoints_;  // IOPCBrowse's, with their own lock

    CriticalSection objectLock_;  // the shutdown sinks only
    ConnectionPoint<IOPCShutdown> shutdownPoint_;
};
