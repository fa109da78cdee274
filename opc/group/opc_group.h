// COPCGroup: an OPC group, created only by its server's AddGroup (or CloneGroup through it).
// It owns its update thread from creation to destruction and keeps a link to the server that
// created it, which it may outlive.
//
// Its state (rate, active flag, deadband, handles, bias, name) is written by client calls on
// any RPC thread. The rate and the active flag are atomics, read by the update thread at each
// turn; the rest is guarded by the state lock, so that GetState never copies a name that
// SetName is freeing.
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>
#include <string>

#include "com_object.h"
#include "opc.h"
#include "opc_item.h"
#include "pooled_list.h"
#include "server_link.h"
#include "sync.h"
#include "update_thread.h"

class COPCGroup final : public ComObject<COPCGroup, IOPCItemMgt, IOPCGroupStateMgt,
                                         IOPCPublicGroupStateMgt, IOPCSyncIO>,
                        private UpdateCycle {
  public:
    static constexpr DWORD kMinimumUpdateRate = 250;
    static constexpr FLOAT kDefaultDeadband = 0.1f;
    static constexpr LCID kLocale = 1049;

    // A new group, unreferenced but for the result, its update thread running.
    static HRESULT Create(std::shared_ptr<ServerLink> server, ComPtr<COPCGroup>* group) noexcept;

    explicit COPCGroup(std::shared_ptr<ServerLink> server) noexcept;
    ~COPCGroup() override;

    // Written by the owning server's lists.
    OPCHANDLE ServerHandle() const noexcept { return serverHandle_; }
    void SetServerHandle(OPCHANDLE handle) noexcept { serverHandle_ = handle; }
    void MarkPublic() noexcept { public_ = TRUE; }
    void SetNameUnchecked(const wchar_t* name);  // throws std::bad_alloc
    std::wstring Name() const;                   // throws std::bad_alloc
    bool HasName(const wchar_t* name) const noexcept;

    // A forced removal: clients' references are cut off and every later call fails.
    void Disconnect() noexcept;

    // The machine's time-zone bias, the default time bias of a new group.
    static LONG SystemTimeBias() noexcept;

    // More handles than this in one call cannot be served (E_OUTOFMEMORY).
    static constexpr DWORD kMaxItemsPerCall = 1u << 20;

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       HRESULT** ppErrors) override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCPublicGroupStateMgt
    STDMETHODIMP GetState(BOOL* pPublic) override;
    STDMETHODIMP MoveToPublic() override;

    // The last reference is gone: the update thread is stopped before the group is freed.
    void OnLastRelease() noexcept;

  private:
    // UpdateCycle
    DWORD UpdateRate() const noexcept override { return updateRate_; }
    bool Active() const noexcept override { return active_ != FALSE; }
    bool RunCycle() noexcept override;
    void DestroyAfterAbandonedStop() noexcept override;

    bool Defunct() const noexcept { return defunct_; }
    LONG TimeBias() const noexcept;

    // The shape of the per-handle calls: checks, the error array, the item mutex, and
    // OPC_E_INVALIDHANDLE for a handle of no item; `each(item, i)` gives the other codes.
    // The checks every item call starts with: out-pointers (cleared), count, a cut-off group.
    template <class... Outs>
    HRESULT BeginItemCall(DWORD count, const void* array, Outs**... outs) noexcept;
    template <class Each>
    HRESULT ForEachItem(DWORD count, const OPCHANDLE* handles, HRESULT** errors, Each&& each);
    void DestroyItems() noexcept;

    using ItemList = PooledList<std::unique_ptr<OPCItem>>;

    std::shared_ptr<ServerLink> server_;
    std::atomic<bool> defunct_{false};

    mutable CriticalSection stateLock_;  // the members below up to the handles
    std::wstring name_;
    FLOAT deadband_ = kDefaultDeadband;
    OPCHANDLE clientGroup_ = 0;
    LONG timeBias_ = 0;
    std::atomic<DWORD> updateRate_{kMinimumUpdateRate};
    std::atomic<BOOL> active_{TRUE};
    std::atomic<OPCHANDLE> serverHandle_{0};
    std::atomic<BOOL> public_{FALSE};

    // A record for a new item: a recycled one if there is one. Throws std::bad_alloc.
    std::unique_ptr<OPCItem> NewItemRecord();
    // Keeps a removed item's record for reuse (its count given back through `counts`).
    void RecycleItemRecord(std::unique_ptr<OPCItem> item, ClientCountBatch& counts) noexcept;

    // Item management and synchronous IO take the item mutex; the update cycle takes the
    // cycle mutex and then the item mutex. Both stay inside the process (ProcessMutex).
    ProcessMutex itemMutex_;
    ItemList items_;  // guarded by the item mutex
    // Records of removed items, kept so that adding and removing items does not make the
    // heap hand memory back to the system and fault it in again; guarded by the item mutex.
    std::vector<std::unique_ptr<OPCItem>> spareItems_;
    static constexpr size_t kMaxSpareItems = 1u << 16;
    ProcessMutex cycleMutex_;

    GroupUpdateThread updateThread_;
};
