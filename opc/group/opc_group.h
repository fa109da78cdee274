// COPCGroup: an OPC group, created only by its server's AddGroup (or CloneGroup through it).
// From creation to destruction its update cycles are in the process's cycle scheduler. It keeps
// a link to the server that created it, which it may outlive.
//
// Its state (rate, active flag, deadband, handles, bias, name) is written by client calls on
// any RPC thread. The rate and the active flag are atomics, read by the cycle's turns; the rest is
// guarded by the state lock, so that GetState never copies a name that SetName is freeing.
//
// Data callbacks (the update cycle's OnDataChange, the outcomes of asynchronous calls) go to
// every sink of the group's IOPCDataCallback connection point, always with no group lock
// held, so that a client may call the group from inside a callback. A sink whose client has
// gone (its calls fail with an RPC disconnection error) is not called again; it stays listed
// until Unadvise or the group's end. An OPC DA 3.0 client may also ask for keep-alive callbacks
// (keep_alive.cpp), which go through the same path, and give analog items percent deadbands
// of their own (item_deadband.cpp).
#pragma once

#include <windows.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "com_object.h"
#include "connection_point.h"
#include "item_value_arrays.h"
#include "opc.h"
#include "opc_item.h"
#include "pooled_list.h"
#include "server_link.h"
#include "sync.h"
#include "transaction.h"
#include "cycle_scheduler.h"
#include "driver_batches.h"

class COPCGroup final
    : public ComObject<COPCGroup, IOPCItemMgt, IOPCGroupStateMgt2, IOPCPublicGroupStateMgt,
                       IOPCSyncIO2, IOPCAsyncIO3, IConnectionPointContainer, IOPCAsyncIO,
                       IDataObject, IOPCItemDeadbandMgt>,
      private UpdateCycle {
  public:
    static constexpr DWORD kMinimumUpdateRate = 250;
    static constexpr FLOAT kDefaultDeadband = 0.1f;
    static constexpr LCID kLocale = 1049;
    // The shortest keep-alive time kept: no group does periodic work more often.
    static constexpr DWORD kMinimumKeepAlive = kMinimumUpdateRate;

    // A new group, unreferenced but for the result, its cycles scheduled.
    static HRESULT Create(std::shared_ptr<ServerLink> server, ComPtr<COPCGroup>* group) noexcept;

    explicit COPCGroup(std::shared_ptr<ServerLink> server) noexcept;
    ~COPCGroup() override;

    // The OPC DA 2.0 interfaces that the listed OPC DA 3.0 ones derive from.
    void* QueryExtra(REFIID riid) noexcept;

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
    // Groups alive in the process at most. A group stays in its server's list after its client
    // lets go of it until the client removes it: a client that adds groups without end gets
    // E_OUTOFMEMORY from AddGroup instead of taking the process's memory. The groups' cycles
    // share a few threads (cycle_scheduler.h); a 32-bit process keeps its lower limit, as the
    // transactions' threads share its address space.
    static constexpr long kMaxGroups = sizeof(void*) == 8 ? 2000 : 500;
    static long LiveGroups() noexcept { return liveGroups_.load(); }

    // A percent deadband a client may set when deadbands count: 0 to 100.
    static bool IsPercentDeadband(FLOAT percent) noexcept {
        return percent >= 0.0f && percent <= 100.0f;
    }

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

    // IOPCSyncIO2
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge,
                            VARIANT** ppvValues, WORD** ppwQualities, FILETIME** ppftTimeStamps,
                            HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT,
                          HRESULT** ppErrors) override;

    // IOPCAsyncIO2
    STDMETHODIMP Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                          DWORD* pdwCancelID) override;
    STDMETHODIMP Cancel2(DWORD dwCancelID) override;
    STDMETHODIMP SetEnable(BOOL bEnable) override;
    STDMETHODIMP GetEnable(BOOL* pbEnable) override;

    // IOPCAsyncIO3
    STDMETHODIMP ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge,
                            DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT,
                          DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHODIMP RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override;

    // IOPCAsyncIO (OPC DA 1.0): the outcomes go to the data object's advise connections.
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                      OPCHANDLE* phServer, DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                         DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;

    // IDataObject (OPC DA 1.0 streams)
    STDMETHODIMP GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    STDMETHODIMP GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
    STDMETHODIMP QueryGetData(FORMATETC* pformatetc) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
    STDMETHODIMP SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
    STDMETHODIMP EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
    STDMETHODIMP DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                         DWORD* pdwConnection) override;
    STDMETHODIMP DUnadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCGroupStateMgt2
    STDMETHODIMP SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override;
    STDMETHODIMP GetKeepAlive(DWORD* pdwKeepAliveTime) override;

    // IOPCPublicGroupStateMgt
    STDMETHODIMP GetState(BOOL* pPublic) override;
    STDMETHODIMP MoveToPublic() override;

    // IOPCItemDeadbandMgt
    STDMETHODIMP SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                 HRESULT** ppErrors) override;
    STDMETHODIMP ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;

    // The last reference is gone: its cycles are stopped before the group is freed.
    void OnLastRelease() noexcept;

    // The body of a transaction's worker thread: the driver work (without the item mutex),
    // then the callbacks with no lock held; the transaction is no longer pending afterwards.
    void RunTransaction(CTransaction& transaction) noexcept;

  private:
    // UpdateCycle
    DWORD UpdateRate() const noexcept override { return updateRate_; }
    bool Active() const noexcept override { return active_ != FALSE && !defunct_; }
    CycleStart BeginCycle(std::unique_ptr<CycleBatch>& batch, DWORD& ended) noexcept override;
    void EndCycle(DWORD& ended) noexcept override;
    void DestroyAfterAbandonedStop() noexcept override;
    DWORD KeepAliveTurn() noexcept override;

    bool Defunct() const noexcept { return defunct_; }
    OPCHANDLE ClientGroupHandle() const noexcept;

    // The start of every asynchronous call: checks, the transaction record under the item
    // mutex, the worker. `values` only for a write, `errors` not for a refresh.
    // `kind` CTransaction::kDa2 with the client's transaction ID, or kDa1 with the advise
    // connection that is to hear the outcome.
    struct TransactionStart {
        DWORD kind;
        DWORD transactionId;
        DWORD connection;
        // OPC DA 3.0: a read's maximum age per item, or a refresh's for every item (null:
        // the read or the source of OPC DA 2.0).
        const DWORD* maxAges = nullptr;
        // OPC DA 3.0: a write's values with their qualities and timestamps, instead of
        // `values`.
        const OPCITEMVQT* vqts = nullptr;
    };
    HRESULT StartTransaction(AsyncOperation operation, TransactionStart start, DWORD count,
                             const OPCHANDLE* handles, const VARIANT* values, DWORD source,
                             DWORD* cancelId, HRESULT** errors) noexcept;
    // The worker's part before the callbacks: driver work and the callback arrays; false
    // when the transaction was cancelled.
    bool DoTransactionWork(CTransaction& transaction, ItemValueArrays& arrays);
    // The tags of the transaction's items to be read from the drivers, as its handles name
    // them now (a null driver for one gone); `fromDevice` says which items those are: every
    // item still there, or with maximum ages those whose caches are older.
    std::vector<TagRef> TagsOf(const CTransaction& transaction, std::vector<char>& fromDevice);
    void ForgetTransaction(const CTransaction& transaction) noexcept;

    // The callbacks, to every sink whose client has not gone, with no group lock held.
    // ReportDataChange is the one place where item values go out to data-change subscribers
    // (the update cycle with transaction ID 0, a refresh with its client's ID).
    bool HasDataSinks() noexcept;
    void ReportDataChange(DWORD transactionId, ItemValueArrays& values) noexcept;
    void ReportReadComplete(DWORD transactionId, ItemValueArrays& values) noexcept;
    void ReportWriteComplete(DWORD transactionId, ItemValueArrays& outcomes) noexcept;
    void ReportCancelComplete(DWORD transactionId) noexcept;
    template <class Call>
    void ForEachDataSink(Call&& call) noexcept;

    // OPC DA 1.0: the stream of a format into `medium` (S_FALSE without items for a data
    // format, DV_E_FORMATETC for another format); the cycle's stream to the first
    // OPCSTMFORMATDATATIME connection; a transaction's stream to its own connection.
    HRESULT BuildStream(CLIPFORMAT format, STGMEDIUM* medium);
    ComPtr<IDataAdviseHolder> AdviseHolder();
    void ReportStreamOfCycle(ItemValueArrays& values) noexcept;
    void ReportStreamToConnection(const CTransaction& t, ItemValueArrays& outcomes) noexcept;
    void DropAdviseConnections() noexcept;

    // The shape of the per-handle calls: checks, the error array, the item mutex, and
    // OPC_E_INVALIDHANDLE for a handle of no item; `each(item, i)` gives the other codes.
    // The checks every item call starts with: out-pointers (cleared), count, a cut-off group.
    template <class... Outs>
    HRESULT BeginItemCall(DWORD count, const void* array, Outs**... outs) noexcept;
    template <class Each>
    HRESULT ForEachItem(DWORD count, const OPCHANDLE* handles, HRESULT** errors, Each&& each);

    // The body of the synchronous reads: each item from the drivers (`device`, or a cache
    // older than its entry of `maxAges`) or from its cache, then `copy(i, item)` puts it
    // into the client's arrays and gives the wire bytes of its value; `discard(i)` frees what
    // a copy made when the answer fails. `errors` gets every item's code. S_OK or S_FALSE;
    // throws std::bad_alloc. `perItem`: the wire bytes of one entry of the arrays.
    template <class Copy, class Discard>
    HRESULT ReadItems(DWORD count, const OPCHANDLE* handles, bool device, const DWORD* maxAges,
                      size_t perItem, HRESULT* errors, Copy&& copy, Discard&& discard);
    // The body of the synchronous writes: `valueOf(i)` gives the client's value for the
    // i-th handle, or null for one refused as a whole (OPC_E_NOTSUPPORTED).
    template <class ValueOf>
    HRESULT WriteItems(DWORD count, const OPCHANDLE* handles, HRESULT** errors, ValueOf&& valueOf);

    // Driver work is done without the item mutex: items are named by handle and serial in
    // between, so that one removed (or replaced in its entry) meanwhile is not mistaken.
    // The item `handle` names if it is still the record of `serial`; under the item mutex.
    OPCItem* ItemAt(OPCHANDLE handle, uint64_t serial) noexcept;
    // One item's value on its way to its tag, at `position` of the client's arrays.
    struct ItemWrite {
        size_t position;
        OPCHANDLE handle;
        uint64_t serial;
        TagRef tag;
        Variant value;  // in the tag's type
        HRESULT outcome;
    };
    // Under the item mutex: the item's own checks; S_OK and one more entry of `writes` when
    // the value is for the driver. Throws std::bad_alloc.
    HRESULT PrepareWrite(OPCItem& item, const VARIANT& value, size_t position,
                         std::vector<ItemWrite>& writes);
    // Without the item mutex: the drivers get the values, and every outcome is set (S_OK or
    // E_FAIL); the caches of the items still there take the values the drivers took. With
    // `refreshAfter` every driver updates afterwards (an asynchronous write).
    void WriteToDrivers(std::vector<ItemWrite>& writes, bool refreshAfter = false);
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
    // The next changes-only cycle sends every active item, whether it changed or not.
    std::atomic<bool> resendAll_{true};
    // Keep-alive: the time in force (0: none), and the GetTickCount64 of the last
    // OnDataChange or keep-alive, or of the last look that found nobody to send one to.
    std::atomic<DWORD> keepAlive_{0};
    std::atomic<uint64_t> lastDataChange_{0};

    // A record for a new item created at `created`: a recycled one if there is one. Throws
    // std::bad_alloc.
    std::unique_ptr<OPCItem> NewItemRecord(const FILETIME& created);
    // Keeps a removed item's record for reuse (its count given back through `counts`).
    void RecycleItemRecord(std::unique_ptr<OPCItem> item, ClientCountBatch& counts) noexcept;

    // Item management, IO and the update cycle take the item mutex, never while a driver is
    // asked. It stays inside the process (ProcessMutex).
    ProcessMutex itemMutex_;
    ItemList items_;  // guarded by the item mutex
    // Records of removed items, kept so that adding and removing items does not make the
    // heap hand memory back to the system and fault it in again; guarded by the item mutex.
    std::vector<std::unique_ptr<OPCItem>> spareItems_;
    static constexpr size_t kMaxSpareItems = 1u << 16;

    // The update cycle's plan: the readable items, named by handle and serial (items may go
    // while the drivers are asked), and their tags by driver, with the change numbers of what
    // the caches hold (DLLReadChangedTags). Built by the cycle under the item mutex
    // when the items changed, and kept from cycle to cycle, so that a cycle in which few
    // tags changed touches little more than those.
    struct CycleEntry {
        OPCHANDLE handle;
        uint64_t serial;
        DWORD share;  // kNoShare: bound to nothing
        DWORD at;     // its tag's position in the share
    };
    struct PlannedShare {
        std::weak_ptr<CDriver> driver;
        std::vector<DWORD> ids, versions;
        std::vector<DWORD> entries;  // the entry of each tag
    };
    static constexpr DWORD kNoShare = 0xFFFFFFFF;
    void BuildCyclePlan();  // under the item mutex; throws std::bad_alloc
    std::vector<CycleEntry> planEntries_;
    std::vector<PlannedShare> planShares_;
    // What the first half of a cycle leaves to its second (see UpdateCycle::BeginCycle); the
    // cycle's own, as the plan is.
    struct CycleHalf {
        bool changesOnly = false, report = false, everything = false, visitAll = false;
        bool complete = false;
        FLOAT deadband = 0;
        std::vector<CycleShare> shares;
        std::vector<DWORD> liveShare;
        CycleReads* reads = nullptr;  // in the batch, which outlives the second half
        size_t ticket = 0;
    };
    CycleHalf half_;
    // Under the item mutex. Items added or removed: plan anew. A cache changed outside the
    // cycle: the next changes-only cycle looks at every item, not only at those whose tags
    // have news.
    bool planValid_ = false, visitAll_ = true;
    void ItemsChanged() noexcept {
        planValid_ = false;
        visitAll_ = true;
    }
    void CachesChanged() noexcept { visitAll_ = true; }

    // The values of a cycle (one set per callback), kept from one cycle to the next for their
    // memory; used by the cycle only (never two of one group at once).
    std::vector<std::unique_ptr<ItemValueArrays>> cycleValues_;

    static std::atomic<long> liveGroups_;

    CriticalSection sinkLock_;
    ConnectionPoint<IOPCDataCallback> dataPoint_;
    // The OPC DA 1.0 advise connections, from the first DAdvise on; guarded by sinkLock_.
    ComPtr<IDataAdviseHolder> adviseHolder_;

    // The pending transactions, so that Cancel2 can tell a live identifier from a stale one.
    CriticalSection pendingLock_;
    std::vector<CTransaction*> pending_;

    ScheduledCycle schedule_;
};
