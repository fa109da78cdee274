// OPCItem: the server-side record of one client item, bound to one tag of one driver.
//
// The binding is fixed when the item is created. The driver is held weakly and locked for
// each use, so an item never calls into a driver that has been unloaded meanwhile (it then
// behaves as unbound). A record bound to a tag counts as one of the tag's clients from Apply
// until it gives the count back (ReleaseClient, or its destruction); the counts of one call
// travel to the drivers together, once per tag (ClientCountBatch). A record that never
// counted (a scratch record used to validate a definition) never gives anything back.
//
// Records are recycled by their group (Reset), so a record's memory outlives the item.
//
// No lock of its own: the owning group's item mutex guards every item.
#pragma once

#include <windows.h>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client_count_batch.h"
#include "driver.h"
#include "driver_batches.h"
#include "driver_list.h"
#include "item_properties.h"
#include "opc.h"
#include "variant.h"

// An owned copy of an item's attributes (an enumerator's snapshot).
struct ItemAttributes {
    std::wstring accessPath, itemId;
    BOOL active = FALSE;
    OPCHANDLE clientHandle = 0, serverHandle = 0;
    DWORD accessRights = 0;
    std::vector<BYTE> blob;
    VARTYPE requestedType = VT_EMPTY, canonicalType = VT_EMPTY;
    // OPC_ANALOG and its range (VT_ARRAY | VT_R8: low, high) for an analog item, OPC_NOENUM
    // and VT_EMPTY for any other.
    OPCEUTYPE euType = OPC_NOENUM;
    Variant euInfo;

    // A record for a client, with its own CoTaskMemAlloc strings and blob. Throws
    // std::bad_alloc, and then `out` holds nothing to free.
    void CopyTo(OPCITEMATTRIBUTES& out) const;
};

// Frees what CopyTo put into a record.
void FreeAttributes(OPCITEMATTRIBUTES& a) noexcept;

class OPCItem {
  public:
    // A record made now; the time of its creation is its timestamp until a value comes.
    OPCItem() noexcept;
    explicit OPCItem(const FILETIME& created) noexcept;
    ~OPCItem();
    OPCItem(const OPCItem&) = delete;
    OPCItem& operator=(const OPCItem&) = delete;

    // Binds the record to the tag the definition names: S_OK for a tag, OPC_E_INVALIDITEMID
    // otherwise (a folder stays bound), E_FAIL when its driver did not answer in time.
    // Fills `result` when given. Throws std::bad_alloc.
    HRESULT Resolve(const OPCITEMDEF& def, OPCITEMRESULT* result);
    // The same with what the driver said of the tag (LookUpTags), for a call that resolves
    // many: no driver call.
    HRESULT Bind(const TagLookup& found, OPCITEMRESULT* result);
    // Takes over the rest of a resolved definition; a record bound to a tag now counts as
    // its client, and `counts` carries the +1 to the driver. Throws std::bad_alloc (before
    // anything is counted).
    void Apply(const OPCITEMDEF& def, ClientCountBatch& counts);
    // Takes over the rest of a resolved definition for a look at the tag (its properties):
    // the cache is read from the driver, and the record never counts as a client. Throws
    // std::bad_alloc.
    void ApplyForLook(const OPCITEMDEF& def);
    // Gives the client count back through `counts`; nothing for a record that does not count.
    void ReleaseClient(ClientCountBatch& counts) noexcept;
    // Back to the state of a new record, for reuse; gives its count back first if it still
    // holds one. The timestamp is the reuse's (Renew), not the time it was put aside.
    void Reset() noexcept;
    // A reset record taken for a new item created at `created`.
    void Renew(const FILETIME& created) noexcept { timestamp_ = created; }

    // The property table of the record as it stands: ids 1-6 from the record; for a tag 7
    // (the EU type), 8 (the EU info, for an analog item), 100 (the EU units, where the driver
    // has them) and 101 (its description, empty if none), and one more per child tag (5000,
    // 5001, ... in DLLEnumTags order) with the child's value as the driver gives it now and
    // its item identifier "<item>.<child>". Built on request, for the item-properties
    // interface only: group items never need it. Throws std::bad_alloc.
    ItemProperties BuildProperties() const;

    // The cache from the tag, then converted to the requested type (TakeReading).
    void ReadFromDriver();
    // The tag of a bound item (its driver while loaded), for work done without the group's
    // lock; a null driver for an unbound one.
    TagRef Tag() const noexcept { return TagRef{BoundDriver(), tag_}; }
    // The cache from a reading of Tag() (none for an unbound item), then converted to the
    // requested type. The timestamp stays the driver's UTC time: an OPC timestamp is UTC, and
    // a group's time bias only tells the client the time zone the data came from.
    void TakeReading(CDriver::TagReading* reading);
    // Whether a read with this maximum age (ms) must go to the driver: the cache is older,
    // or was never taken from the driver. 0 always does, kMaxAgeCache never does (it is a
    // cache read, whatever the cache holds). `now` from GetTickCount64.
    static constexpr DWORD kMaxAgeCache = 0xFFFFFFFF;
    bool OlderThan(DWORD maxAge, ULONGLONG now) const noexcept {
        if (maxAge == kMaxAgeCache) return false;
        return readAt_ == 0 || now - readAt_ >= maxAge;
    }
    // A client's value for the tag, converted to the tag's type into `converted`: a value
    // that does not fit is refused (OPC_E_BADTYPE, OPC_E_RANGE), and a read-only tag refuses
    // every value (OPC_E_BADRIGHTS); S_OK when the tag is to be given `converted`. Throws
    // std::bad_alloc.
    HRESULT PrepareWrite(const VARIANT& value, Variant& converted) const;
    // The tag took the value: the cache shows it.
    void TakeWrittenValue(Variant& converted) noexcept { value_.Swap(converted); }

    ItemAttributes Attributes() const;  // throws std::bad_alloc
    // The cache for a client (a deep copy); throws std::bad_alloc (`out` then holds nothing).
    void CopyStateTo(OPCITEMSTATE& out) const;
    // The cached value in the requested type into `out` (initialised, owned by the caller):
    // a copy that fails or does not convert gives VT_ERROR holding the failure code.
    void CopyValueTo(VARIANT& out) const noexcept;
    WORD Quality() const noexcept { return quality_; }
    const FILETIME& Timestamp() const noexcept { return timestamp_; }

    OPCHANDLE ServerHandle() const noexcept { return serverHandle_; }
    void SetServerHandle(OPCHANDLE h) noexcept { serverHandle_ = h; }
    OPCHANDLE ClientHandle() const noexcept { return clientHandle_; }
    void SetClientHandle(OPCHANDLE h) noexcept { clientHandle_ = h; }
    BOOL Active() const noexcept { return active_; }
    void SetActive(BOOL active) noexcept { active_ = active; }
    VARTYPE RequestedType() const noexcept { return requestedType_; }
    // VT_EMPTY asks for the canonical type, as in a definition.
    void SetRequestedType(VARTYPE type) noexcept {
        requestedType_ = type == VT_EMPTY ? canonicalType_ : type;
    }
    DWORD AccessRights() const noexcept { return accessRights_; }
    // An analog item: its tag has an engineering range (low, high), which a percent deadband
    // is a share of.
    bool IsAnalog() const noexcept { return hasRange_; }
    double EuLow() const noexcept { return euLow_; }
    double EuHigh() const noexcept { return euHigh_; }

    // The update cycle: the item's driver (to tell the drivers of a group's items apart
    // without locking each) and its tag.
    const std::weak_ptr<CDriver>& DriverRef() const noexcept { return driver_; }
    DWORD TagId() const noexcept { return tag_; }

    // Reporting by exception: the item is due in a cycle's callback when it was never sent,
    // or its quality changed, or its value changed (an analog item's by more than its own
    // percent deadband of its range, or else `groupDeadband`) since it was last sent.
    bool ChangedSinceSent(float groupDeadband) const noexcept;
    // The item's own percent deadband (analog items only), over its group's.
    bool HasDeadband() const noexcept { return hasDeadband_; }
    float Deadband() const noexcept { return deadband_; }
    void SetDeadband(float percent) noexcept {
        deadband_ = percent;
        hasDeadband_ = true;
    }
    void ClearDeadband() noexcept { hasDeadband_ = false; }
    // The item went out as it stands now. Without memory for the copy it is simply due again.
    void MarkSent() noexcept;
    // The next cycle sends the item, whatever it holds.
    void ForgetSent() noexcept { sentValid_ = false; }
    // Unique for the life of the process: tells a record from a later one in the same entry.
    uint64_t Serial() const noexcept { return serial_; }

  private:
    // The driver of a bound item while it is loaded; null for an unbound item.
    std::shared_ptr<CDriver> BoundDriver() const noexcept {
        return tag_ ? driver_.lock() : nullptr;
    }
    // `driver` null: one unloaded since the item was bound.
    void AddTagProperties(CDriver* driver, ItemProperties& properties) const;
    void AddChildTagProperties(CDriver& driver, ItemProperties& properties) const;
    // What Apply and ApplyForLook share: the definition's fields, the requested type.
    void TakeDefinition(const OPCITEMDEF& def);
    // ReleaseClient on its own, for a record that is going without its group.
    void GiveBackClientCount() noexcept;

    std::wstring accessPath_;
    std::wstring itemId_;
    BOOL active_ = FALSE;
    OPCHANDLE clientHandle_ = 0;
    OPCHANDLE serverHandle_ = 0;
    DWORD accessRights_ = OPC_READABLE | OPC_WRITEABLE;
    std::vector<BYTE> blob_;
    VARTYPE requestedType_ = VT_EMPTY;
    VARTYPE canonicalType_ = VT_R4;
    bool hasRange_ = false;
    double euLow_ = 0, euHigh_ = 0;
    FILETIME timestamp_{};
    WORD quality_ = OPC_QUALITY_GOOD;
    Variant value_;
    bool hasDeadband_ = false;
    float deadband_ = 0;
    // When the cache was last taken from the driver (GetTickCount64; 0: never). The driver's
    // own timestamp cannot tell it: a tag that does not change keeps its old one.
    ULONGLONG readAt_ = 0;
    // What the item's last cycle callback carried (reporting by exception only).
    bool sentValid_ = false;
    WORD sentQuality_ = 0;
    Variant sentValue_;

    std::weak_ptr<CDriver> driver_;
    DWORD tag_ = 0;
    bool isTag_ = false;  // Resolve found a tag (not a folder) under tag_
    bool countsAsClient_ = false;
    uint64_t serial_;
};

// Converts in place with VariantChangeType (flags 0); the value is unchanged on failure.
HRESULT ConvertInPlace(Variant& value, VARTYPE type) noexcept;
