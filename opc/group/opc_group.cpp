#include "opc_group.h"

#include <mmsystem.h>
#include <algorithm>

#include "co_task_mem.h"
#include "com_call.h"
#include "reporting_mode.h"
#include "scan_thread.h"

std::atomic<long> COPCGroup::liveGroups_{0};

HRESULT COPCGroup::Create(std::shared_ptr<ServerLink> server, ComPtr<COPCGroup>* group) noexcept {
    if (!group) return E_POINTER;
    if (liveGroups_.load() >= kMaxGroups) return E_OUTOFMEMORY;
    auto* created = new (std::nothrow) COPCGroup(std::move(server));
    if (!created) return E_OUTOFMEMORY;
    ComPtr<COPCGroup> held(created);  // from here on the last Release frees it
    if (!created->schedule_.Start(created)) return E_OUTOFMEMORY;
    *group = std::move(held);
    return S_OK;
}

COPCGroup::COPCGroup(std::shared_ptr<ServerLink> server) noexcept
    : server_(std::move(server)), dataPoint_(static_cast<IOPCItemMgt*>(this), sinkLock_) {
    ++liveGroups_;
}

COPCGroup::~COPCGroup() {
    dataPoint_.DisconnectAll();
    DropAdviseConnections();
    DestroyItems();
    --liveGroups_;
}

// The same interface pointers as the derived interfaces' (their vtables begin alike), so a
// client holding both sees one object.
void* COPCGroup::QueryExtra(REFIID riid) noexcept {
    if (riid == IID_IOPCGroupStateMgt)
        return static_cast<IOPCGroupStateMgt*>(static_cast<IOPCGroupStateMgt2*>(this));
    if (riid == IID_IOPCSyncIO) return static_cast<IOPCSyncIO*>(static_cast<IOPCSyncIO2*>(this));
    if (riid == IID_IOPCAsyncIO2)
        return static_cast<IOPCAsyncIO2*>(static_cast<IOPCAsyncIO3*>(this));
    return nullptr;
}

void COPCGroup::DropAdviseConnections() noexcept {
    ComPtr<IDataAdviseHolder> holder;
    {
        CriticalSectionLock lock(sinkLock_);
        holder = std::move(adviseHolder_);
    }
    // The holder releases its sinks as it goes, outside the lock.
}

void COPCGroup::DestroyItems() noexcept {
    ProcessMutexLock lock(itemMutex_);
    std::unique_ptr<ClientCountBatch> counts;
    try {
        counts = std::make_unique<ClientCountBatch>(items_.Size());
    } catch (...) {
        // No memory to gather the counts: each record gives its own back as it goes.
    }
    std::unique_ptr<OPCItem> item;
    ItemsChanged();
    while (items_.Remove(items_.FirstHandle(), item)) {
        if (counts) item->ReleaseClient(*counts);
        item.reset();
    }
    spareItems_.clear();
}

std::unique_ptr<OPCItem> COPCGroup::NewItemRecord(const FILETIME& created) {
    if (spareItems_.empty()) return std::make_unique<OPCItem>(created);
    std::unique_ptr<OPCItem> item = std::move(spareItems_.back());
    spareItems_.pop_back();
    item->Renew(created);
    return item;
}

void COPCGroup::RecycleItemRecord(std::unique_ptr<OPCItem> item,
                                  ClientCountBatch& counts) noexcept {
    item->ReleaseClient(counts);
    if (spareItems_.size() >= kMaxSpareItems) return;
    try {
        item->Reset();
        spareItems_.push_back(std::move(item));
    } catch (...) {
        // No room to keep it: the record goes.
    }
}

OPCHANDLE COPCGroup::ClientGroupHandle() const noexcept {
    CriticalSectionLock lock(stateLock_);
    return clientGroup_;
}

void COPCGroup::OnLastRelease() noexcept {
    if (schedule_.Stop()) delete this;
    // Otherwise its running cycle does not end; the worker running it frees the group after it.
}

void COPCGroup::DestroyAfterAbandonedStop() noexcept {
    delete this;
}

// Refreshes every readable item's cache from its driver and reports the items to the
// data-change sinks: every one of them, changed or not, or in the changes-only mode the
// active ones that changed since they were last sent (reporting_mode.h). The values are
// gathered only when someone listens; a cycle that had nobody to tell, or could not finish,
// makes the next changes-only cycle send everything again. Values that weigh more than one
// answer may go out in several callbacks, in the items' order. The drivers are asked without
// the item mutex: the group's calls go on meanwhile.
void COPCGroup::BuildCyclePlan() {
    planEntries_.clear();
    planShares_.clear();
    planEntries_.reserve(items_.Size());
    size_t last = 0;  // neighbours mostly share their driver
    items_.ForEach([&](OPCHANDLE handle, std::unique_ptr<OPCItem>& item) {
        if (!(item->AccessRights() & OPC_READABLE)) return true;
        CycleEntry entry{handle, item->Serial(), kNoShare, 0};
        const std::weak_ptr<CDriver>& driver = item->DriverRef();
        if (item->TagId() != 0 && !driver.expired()) {
            auto same = [&](size_t s) {
                return !driver.owner_before(planShares_[s].driver) &&
                       !planShares_[s].driver.owner_before(driver);
            };
            if (last >= planShares_.size() || !same(last)) {
                last = 0;
                while (last < planShares_.size() && !same(last)) ++last;
                if (last == planShares_.size())
                    planShares_.push_back(PlannedShare{driver, {}, {}, {}});
            }
            PlannedShare& share = planShares_[last];
            entry.share = static_cast<DWORD>(last);
            entry.at = static_cast<DWORD>(share.ids.size());
            share.ids.push_back(item->TagId());
            share.versions.push_back(0);
            share.entries.push_back(static_cast<DWORD>(planEntries_.size()));
        }
        planEntries_.push_back(entry);
        return true;
    });
}

UpdateCycle::CycleStart COPCGroup::BeginCycle(std::unique_ptr<CycleBatch>& batch,
                                              DWORD& /*ended*/) noexcept {
    CycleHalf& c = half_;
    c.reads = nullptr;
    c.changesOnly = ReportsChangesOnly();
    {
        CriticalSectionLock lock(stateLock_);
        c.deadband = deadband_;
    }
    // Not long: the turns gathered after this one wait for it. Busy: retried shortly.
    if (!itemMutex_.Acquire(std::min<DWORD>(updateRate_, ScheduledCycle::kRetryMs)))
        return CycleStart::kBusy;
    c.report = HasDataSinks() || AdviseHolder();
    c.everything = !c.changesOnly || resendAll_.exchange(false);
    c.visitAll = c.everything || visitAll_;
    visitAll_ = false;
    c.complete = true;
    try {
        if (!planValid_) BuildCyclePlan();
        planValid_ = true;
    } catch (...) {
        c.complete = false;
        planValid_ = false;
    }
    itemMutex_.Release();
    // The drivers still loaded, each with what its items' caches hold; the plan is the cycle's
    // alone, so it is read here without the mutex.
    c.shares.clear();
    try {
        c.liveShare.assign(planShares_.size(), kNoShare);
        for (size_t s = 0; c.complete && s < planShares_.size(); ++s) {
            std::shared_ptr<CDriver> driver = planShares_[s].driver.lock();
            if (!driver) {
                c.visitAll = true;  // its items are bound to nothing now
                continue;
            }
            c.liveShare[s] = static_cast<DWORD>(c.shares.size());
            c.shares.push_back(
                CycleShare{std::move(driver), planShares_[s].ids, planShares_[s].versions, {}, {}});
        }
        if (c.complete && !c.shares.empty()) {
            if (!batch) batch = std::make_unique<CycleReads>();
            c.reads = static_cast<CycleReads*>(batch.get());
            c.ticket = c.reads->Add(c.shares);
        }
    } catch (...) {
        c.complete = false;
        c.reads = nullptr;
    }
    return CycleStart::kBegun;
}

void COPCGroup::EndCycle(DWORD& ended) noexcept {
    CycleHalf& c = half_;
    if (c.reads) c.reads->Take(c.ticket, c.shares);
    c.reads = nullptr;
    const bool changesOnly = c.changesOnly, report = c.report, everything = c.everything;
    const FLOAT deadband = c.deadband;
    bool visitAll = c.visitAll, complete = c.complete;
    std::vector<CycleShare>& shares = c.shares;
    const std::vector<DWORD>& liveShare = c.liveShare;
    itemMutex_.Acquire();
    size_t used = 0;  // sets of cycleValues_ filled in this cycle
    try {
        // Numbers of a plan that items changed meanwhile would be lost with it anyway.
        if (complete && planValid_)
            for (size_t s = 0; s < planShares_.size(); ++s)
                if (liveShare[s] != kNoShare)
                    planShares_[s].versions.swap(shares[liveShare[s]].versions);
        auto nextSet = [&]() -> ItemValueArrays* {
            if (used == cycleValues_.size())
                cycleValues_.push_back(std::make_unique<ItemValueArrays>());
            return cycleValues_[used++].get();
        };
        ItemValueArrays* values = report && complete ? nextSet() : nullptr;
        if (values && !changesOnly) values->Reserve(planEntries_.size());
        // One item: its news (null: none), then whether and how it goes out.
        auto visit = [&](const CycleEntry& e, CDriver::TagReading* news) {
            OPCItem* item = ItemAt(e.handle, e.serial);
            if (!item) return;  // removed meanwhile
            const bool bound = e.share != kNoShare && liveShare[e.share] != kNoShare;
            if (!bound)
                item->TakeReading(nullptr);
            else if (news)
                item->TakeReading(news);
            if (!values) return;
            if (changesOnly &&
                (!item->Active() || (!everything && !item->ChangedSinceSent(deadband))))
                return;
            if (!values->TryAdd(*item)) {
                if (values->Count() > 0) values = nextSet();
                // A value that alone is more than an answer can carry goes without it.
                if (!values->TryAdd(*item)) values->AddTooLarge(*item);
            }
            if (changesOnly) item->MarkSent();
        };
        if (complete && visitAll) {
            // Every item in its order, each share's news met in the order of its tags.
            std::vector<size_t> next(shares.size(), 0);
            for (const CycleEntry& e : planEntries_) {
                CDriver::TagReading* news = nullptr;
                if (e.share != kNoShare && liveShare[e.share] != kNoShare) {
                    CycleShare& share = shares[liveShare[e.share]];
                    size_t& n = next[liveShare[e.share]];
                    if (n < share.changedAt.size() && share.changedAt[n] == e.at)
                        news = &share.readings[n++];
                }
                visit(e, news);
            }
        } else if (complete) {
            // Only the items whose tags have news, in the items' order.
            std::vector<std::pair<DWORD, CDriver::TagReading*>> newsOf;
            for (size_t s = 0; s < planShares_.size(); ++s) {
                if (liveShare[s] == kNoShare) continue;
                CycleShare& share = shares[liveShare[s]];
                for (size_t n = 0; n < share.changedAt.size(); ++n)
                    newsOf.emplace_back(planShares_[s].entries[share.changedAt[n]],
                                        &share.readings[n]);
            }
            if (shares.size() > 1) std::sort(newsOf.begin(), newsOf.end());
            for (const auto& [entry, news] : newsOf) visit(planEntries_[entry], news);
        }
    } catch (...) {
        // Out of memory while copying a value: this cycle reports nothing, the next one all.
        complete = false;
    }
    itemMutex_.Release();
    // What the items were last sent is known only after a changes-only cycle that told
    // someone everything it had to tell.
    if (!changesOnly || !report || !complete) resendAll_ = true;
    ended = timeGetTime();
    for (size_t i = 0; report && complete && i < used; ++i) {
        if (cycleValues_[i]->Count() == 0) continue;
        ReportDataChange(0, *cycleValues_[i]);
        ReportStreamOfCycle(*cycleValues_[i]);
    }
    for (size_t i = 0; i < used; ++i) cycleValues_[i]->Clear();
    shares.clear();  // the drivers are not held between cycles
}

void COPCGroup::SetNameUnchecked(const wchar_t* name) {
    std::wstring copy = name ? name : L"";
    CriticalSectionLock lock(stateLock_);
    name_.swap(copy);  // the old name is freed after the lock, never under a reader
}

std::wstring COPCGroup::Name() const {
    CriticalSectionLock lock(stateLock_);
    return name_;
}

bool COPCGroup::HasName(const wchar_t* name) const noexcept {
    CriticalSectionLock lock(stateLock_);
    return name_ == (name ? name : L"");
}

void COPCGroup::Disconnect() noexcept {
    defunct_ = true;
    schedule_.Wake();            // a defunct group has no more cycles
    dataPoint_.DisconnectAll();  // nor callbacks, also from transactions still pending
    DropAdviseConnections();
    // Drops the references that clients hold through the RPC layer; their later calls fail
    // in the RPC layer, and any reference left in this process finds the group defunct.
    dataPoint_.DisconnectClients();
    CoDisconnectObject(Identity(), 0);
}

LONG COPCGroup::SystemTimeBias() noexcept {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    return zone.Bias;
}

STDMETHODIMP COPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                 FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                 OPCHANDLE* phServerGroup) {
    RETURN_HR_IF_NULL(E_POINTER, pUpdateRate);
    RETURN_HR_IF_NULL(E_POINTER, pActive);
    RETURN_HR_IF_NULL(E_POINTER, ppName);
    RETURN_HR_IF_NULL(E_POINTER, pTimeBias);
    RETURN_HR_IF_NULL(E_POINTER, pPercentDeadband);
    RETURN_HR_IF_NULL(E_POINTER, pLCID);
    RETURN_HR_IF_NULL(E_POINTER, phClientGroup);
    RETURN_HR_IF_NULL(E_POINTER, phServerGroup);
    *ppName = nullptr;
    if (Defunct()) return E_FAIL;
    return ComCall([&] {
        CriticalSectionLock lock(stateLock_);
        CoTaskString name(name_.c_str());
        *pUpdateRate = updateRate_;
        *pActive = active_;
        *pTimeBias = timeBias_;
        *pPercentDeadband = deadband_;
        *pLCID = kLocale;
        *phClientGroup = clientGroup_;
        *phServerGroup = serverHandle_;
        *ppName = name.Detach();
        return S_OK;
    });
}

// A null pointer leaves its value unchanged, as OPC clients expect: a client that changes only
// the rate keeps its group's active state, deadband and bias. A new group gets its defaults
// from AddGroup, not from here.
STDMETHODIMP COPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                 BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                 DWORD* /*pLCID: the locale stays 1049*/,
                                 OPCHANDLE* phClientGroup) {
    if (Defunct()) return E_FAIL;
    // Where the deadband means something it must be a percentage; otherwise it is only
    // stored, as clients of this server have always had it.
    if (pPercentDeadband && ReportsChangesOnly() && !IsPercentDeadband(*pPercentDeadband))
        return E_INVALIDARG;
    HRESULT result = S_OK;
    DWORD rate;
    {
        CriticalSectionLock lock(stateLock_);
        rate = pRequestedUpdateRate ? *pRequestedUpdateRate : updateRate_.load();
        // Reporting by exception: a group made active tells its client everything first.
        if (pActive && *pActive && !active_) resendAll_ = true;
        if (pActive) active_ = *pActive;
        if (pPercentDeadband) deadband_ = *pPercentDeadband;
        if (phClientGroup) clientGroup_ = *phClientGroup;
        if (pTimeBias) timeBias_ = *pTimeBias;
        if (rate < kMinimumUpdateRate) {
            rate = kMinimumUpdateRate;
            result = OPC_S_UNSUPPORTEDRATE;
        }
        updateRate_ = rate;
    }
    schedule_.Wake();  // the next cycle is due at another time now
    LowerScanPeriod(rate);
    if (pRevisedUpdateRate) *pRevisedUpdateRate = rate;
    return result;
}

STDMETHODIMP COPCGroup::SetName(LPCWSTR szName) {
    if (Defunct()) return E_FAIL;
    return ComCall([&] {
        return server_->Call([&](GroupOwner& owner) { return owner.RenameGroup(*this, szName); });
    });
}

STDMETHODIMP COPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    RETURN_HR_IF_NULL(E_POINTER, ppUnk);
    *ppUnk = nullptr;
    if (Defunct()) return E_FAIL;
    return ComCall([&] {
        LONG bias;
        FLOAT deadband;
        OPCHANDLE clientGroup;
        {
            CriticalSectionLock lock(stateLock_);
            bias = timeBias_;
            deadband = deadband_;
            clientGroup = clientGroup_;
        }
        OPCHANDLE serverHandle = 0;
        DWORD revised = 0;
        const HRESULT hr = server_->Call([&](GroupOwner& owner) {
            return owner.AddGroup(szName, active_, updateRate_, clientGroup, &bias, &deadband,
                                  kLocale, &serverHandle, &revised, riid, ppUnk);
        });
        return FAILED(hr) ? hr : S_OK;
    });
}

STDMETHODIMP COPCGroup::GetState(BOOL* pPublic) {
    RETURN_HR_IF_NULL(E_POINTER, pPublic);
    if (Defunct()) return E_FAIL;
    *pPublic = public_;
    return S_OK;
}

STDMETHODIMP COPCGroup::MoveToPublic() {
    if (Defunct()) return E_FAIL;
    return ComCall([&] {
        return server_->Call([&](GroupOwner& owner) { return owner.MoveGroupToPublic(*this); });
    });
}
