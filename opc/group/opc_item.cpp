#include "opc_item.h"

#include <atomic>
#include <cstring>

#include "ansi_text.h"
#include "co_task_mem.h"
#include "driver_batches.h"
#include "driver_list.h"
#include "value_change.h"

namespace {

std::atomic<uint64_t> g_nextItemSerial{1};

// A copy that cannot be made becomes VT_ERROR holding the failure code.
Variant CopyOrError(const VARIANT& from) {
    Variant copy;
    const HRESULT hr = VariantCopy(copy.Put(), const_cast<VARIANT*>(&from));
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) {
        V_VT(copy.Put()) = VT_ERROR;
        V_ERROR(copy.Get()) = hr;
    }
    return copy;
}

Variant ScalarVariant(VARTYPE type, LONG number) {
    Variant v;
    V_VT(v.Put()) = type;
    if (type == VT_I2) V_I2(v.Get()) = static_cast<SHORT>(number);
    if (type == VT_I4) V_I4(v.Get()) = number;
    return v;
}

Variant TextVariant(const std::string& ansi) {
    Bstr text(AnsiToWide(ansi).c_str());
    Variant v;
    V_VT(v.Put()) = VT_BSTR;
    V_BSTR(v.Get()) = text.Detach();
    return v;
}

// An analog item's EU info, the form clients read it in: its range as two VT_R8, low first.
Variant RangeVariant(double low, double high) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, 2);
    if (!array) throw std::bad_alloc();
    static_cast<double*>(array->pvData)[0] = low;
    static_cast<double*>(array->pvData)[1] = high;
    Variant v;
    V_VT(v.Put()) = VT_ARRAY | VT_R8;
    V_ARRAY(v.Get()) = array;
    return v;
}

}  // namespace

HRESULT ConvertInPlace(Variant& value, VARTYPE type) noexcept {
    Variant converted;
    const HRESULT hr = VariantChangeType(converted.Put(), value.Get(), 0, type);
    if (SUCCEEDED(hr)) value.Swap(converted);
    return hr;
}

OPCItem::OPCItem() noexcept : serial_(g_nextItemSerial++) {
    CoFileTimeNow(&timestamp_);
}

OPCItem::OPCItem(const FILETIME& created) noexcept
    : timestamp_(created), serial_(g_nextItemSerial++) {}

OPCItem::~OPCItem() {
    GiveBackClientCount();
}

void OPCItem::GiveBackClientCount() noexcept {
    if (!countsAsClient_) return;
    try {
        ClientCountBatch counts(1);
        ReleaseClient(counts);
    } catch (...) {
        // No memory for the change: the count stays as it is.
    }
    countsAsClient_ = false;
}

void OPCItem::Reset() noexcept {
    GiveBackClientCount();
    // clear() keeps the strings' memory for the next item.
    accessPath_.clear();
    itemId_.clear();
    active_ = FALSE;
    clientHandle_ = 0;
    serverHandle_ = 0;
    accessRights_ = OPC_READABLE | OPC_WRITEABLE;
    blob_.clear();
    requestedType_ = VT_EMPTY;
    canonicalType_ = VT_R4;
    hasRange_ = false;
    hasDeadband_ = false;
    sentValid_ = false;
    sentValue_.Clear();
    quality_ = OPC_QUALITY_GOOD;
    value_.Clear();
    readAt_ = 0;
    driver_.reset();
    tag_ = 0;
    isTag_ = false;
    serial_ = g_nextItemSerial++;
}

HRESULT OPCItem::Resolve(const OPCITEMDEF& def, OPCITEMRESULT* result) {
    const DriverSnapshot drivers = g_drivers.Snapshot();
    return Bind(LookUpTags(*drivers, &def, 1).at(0), result);
}

HRESULT OPCItem::Bind(const TagLookup& found, OPCITEMRESULT* result) {
    HRESULT hr = found.answered ? OPC_E_INVALIDITEMID : E_FAIL;
    driver_.reset();
    tag_ = 0;
    isTag_ = false;
    hasRange_ = false;
    if (found.driver && found.tag != 0) {
        driver_ = found.driver;
        tag_ = found.tag;
        if (found.facts.isTag) {
            hr = S_OK;
            isTag_ = true;
            canonicalType_ = found.facts.type;
            hasRange_ = found.facts.hasRange;
            euLow_ = found.facts.euLow;
            euHigh_ = found.facts.euHigh;
            accessRights_ = found.facts.readOnly ? OPC_READABLE : OPC_READABLE | OPC_WRITEABLE;
        }
    }
    if (result) {
        result->hServer = serverHandle_;
        result->vtCanonicalDataType = canonicalType_;
        result->wReserved = 0;
        result->dwAccessRights = accessRights_;
        result->dwBlobSize = 0;
        result->pBlob = nullptr;
        if (!blob_.empty()) {
            CoTaskArray<BYTE> copy(blob_.size());
            memcpy(copy.Get(), blob_.data(), blob_.size());
            result->dwBlobSize = static_cast<DWORD>(blob_.size());
            result->pBlob = copy.Detach();
        }
    }
    return hr;
}

void OPCItem::Apply(const OPCITEMDEF& def, ClientCountBatch& counts) {
    TakeDefinition(def);
    std::shared_ptr<CDriver> driver = isTag_ ? BoundDriver() : nullptr;
    if (driver && counts.Add(std::move(driver), tag_, +1)) countsAsClient_ = true;
}

void OPCItem::ApplyForLook(const OPCITEMDEF& def) {
    TakeDefinition(def);
    if (isTag_) ReadFromDriver();
}

void OPCItem::TakeDefinition(const OPCITEMDEF& def) {
    accessPath_ = def.szAccessPath ? def.szAccessPath : L"";
    itemId_ = def.szItemID ? def.szItemID : L"";
    if (def.dwBlobSize && def.pBlob) blob_.assign(def.pBlob, def.pBlob + def.dwBlobSize);
    active_ = def.bActive;
    clientHandle_ = def.hClient;
    requestedType_ = def.vtRequestedDataType == VT_EMPTY ? canonicalType_ : def.vtRequestedDataType;
    ConvertInPlace(value_, canonicalType_);  // the empty value becomes the type's zero
}

void OPCItem::ReleaseClient(ClientCountBatch& counts) noexcept {
    if (!countsAsClient_) return;
    std::shared_ptr<CDriver> driver = BoundDriver();  // an unloaded driver keeps no counts
    if (!driver || counts.Add(std::move(driver), tag_, -1)) countsAsClient_ = false;
}

ItemProperties OPCItem::BuildProperties() const {
    ItemProperties properties;
    properties.Set(1, "Item Canonical Data Type", ScalarVariant(VT_I2, canonicalType_));
    properties.Set(2, "Item Value", CopyOrError(*value_.Get()));
    properties.Set(3, "Item Quality", ScalarVariant(VT_I2, quality_));
    Variant when;
    FILETIME local{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&timestamp_, &local);
    FileTimeToSystemTime(&local, &st);
    st.wMilliseconds = 0;
    double date = 0;
    SystemTimeToVariantTime(&st, &date);
    V_VT(when.Put()) = VT_DATE;
    V_DATE(when.Get()) = date;
    properties.Set(4, "Item Timestamp", std::move(when));
    properties.Set(5, "Item Access Rights", ScalarVariant(VT_I4, static_cast<LONG>(accessRights_)));
    Variant rate;
    V_VT(rate.Put()) = VT_R4;
    V_R4(rate.Get()) = 0.0f;
    properties.Set(6, "Server Scan Rate", std::move(rate));
    if (!isTag_) return properties;
    std::shared_ptr<CDriver> driver = BoundDriver();
    AddTagProperties(driver.get(), properties);
    if (driver) AddChildTagProperties(*driver, properties);
    return properties;
}

// The range is the one the item was bound with, as its deadband uses it; the units and the
// description are the driver's as they stand now (a configurator may have changed them).
void OPCItem::AddTagProperties(CDriver* driver, ItemProperties& properties) const {
    properties.Set(OPC_PROPERTY_EU_TYPE, "EU Type",
                   ScalarVariant(VT_I4, hasRange_ ? OPC_ANALOG : OPC_NOENUM));
    if (hasRange_) properties.Set(OPC_PROPERTY_EU_INFO, "EU Info", RangeVariant(euLow_, euHigh_));
    std::string description;
    if (driver) {
        const CDriver::EngineeringUnits eu = driver->GetEngineeringUnits(tag_);
        if (eu.hasUnits) properties.Set(OPC_PROPERTY_EU_UNITS, "EU Units", TextVariant(eu.units));
        CObjectInfo info;
        driver->GetObjectInfo(tag_, info);
        description = std::move(info.description);
    }
    properties.Set(OPC_PROPERTY_DESCRIPTION, "Item Description", TextVariant(description));
}

void OPCItem::AddChildTagProperties(CDriver& driver, ItemProperties& properties) const {
    std::vector<std::string> children;
    driver.EnumTags(children, tag_);
    DWORD id = kFirstChildTagProperty;
    for (const std::string& name : children) {
        CObjectInfo child;
        driver.GetObjectInfo(driver.GetObjectID(tag_, name), child);
        // A child that is no tag has no value to show, and AddItems would refuse its identifier.
        properties.Set(id++, name, child.isTag ? CopyOrError(*child.value.Get()) : Variant(),
                       child.isTag ? itemId_ + L"." + AnsiToWide(name) : std::wstring());
    }
}

bool OPCItem::ChangedSinceSent(float groupDeadband) const noexcept {
    if (!sentValid_ || sentQuality_ != quality_) return true;
    if (hasRange_)
        return MovedBeyondDeadband(*sentValue_.Get(), *value_.Get(),
                                   hasDeadband_ ? deadband_ : groupDeadband, euLow_, euHigh_);
    return !SameValue(*sentValue_.Get(), *value_.Get());
}

void OPCItem::MarkSent() noexcept {
    sentQuality_ = quality_;
    sentValid_ = SUCCEEDED(VariantCopy(sentValue_.Put(), const_cast<VARIANT*>(value_.Get())));
}

void OPCItem::ReadFromDriver() {
    CDriver::TagReading reading;
    std::shared_ptr<CDriver> driver = BoundDriver();
    if (driver) driver->ReadTag(tag_, reading);
    TakeReading(driver ? &reading : nullptr);
}

// The driver's UTC time unchanged: a group's time bias tells a client where the data comes
// from and is never applied to timestamps.
void OPCItem::TakeReading(CDriver::TagReading* reading) {
    if (reading) {
        // A driver that failed keeps the last value, with its bad quality and the present time.
        // Nor is it fresh for a maximum age.
        if (!reading->driverFailed) {
            value_.Swap(reading->value);
            readAt_ = GetTickCount64();
        }
        timestamp_ = reading->timestamp;
        quality_ = reading->quality;
    }
    if (value_.Type() != requestedType_) ConvertInPlace(value_, requestedType_);
}

namespace {

// Types whose value is the VARIANT's own bits: one of them converted to itself is a copy of
// those bits, which is what VariantChangeType would make of it, at some cost per value.
bool HoldsItsValue(VARTYPE type) {
    switch (type) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
            return true;
        default:
            return false;
    }
}

}  // namespace

HRESULT OPCItem::PrepareWrite(const VARIANT& value, Variant& converted) const {
    if (!(accessRights_ & OPC_WRITEABLE)) return OPC_E_BADRIGHTS;
    // VariantChangeType would turn these into a silent zero.
    const VARTYPE type = V_VT(&value);
    if (type == VT_EMPTY || type == VT_NULL || type == VT_ERROR) return OPC_E_BADTYPE;
    if (type == canonicalType_ && HoldsItsValue(type)) {
        *converted.Put() = value;
        return S_OK;
    }
    // Straight from the client's value: the conversion is the one copy (a reference is
    // followed, as a copy would have it).
    const HRESULT hr =
        VariantChangeType(converted.Put(), const_cast<VARIANT*>(&value), 0, canonicalType_);
    if (hr == DISP_E_OVERFLOW) return OPC_E_RANGE;
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) return OPC_E_BADTYPE;
    return S_OK;
}

ItemAttributes OPCItem::Attributes() const {
    ItemAttributes a;
    a.accessPath = accessPath_;
    a.itemId = itemId_;
    a.active = active_;
    a.clientHandle = clientHandle_;
    a.serverHandle = serverHandle_;
    a.accessRights = accessRights_;
    a.blob = blob_;
    a.requestedType = requestedType_;
    a.canonicalType = canonicalType_;
    if (hasRange_) {
        a.euType = OPC_ANALOG;
        a.euInfo = RangeVariant(euLow_, euHigh_);
    }
    return a;
}

void ItemAttributes::CopyTo(OPCITEMATTRIBUTES& out) const {
    OPCITEMATTRIBUTES a{};
    CoTaskString path(accessPath.c_str());
    CoTaskString id(itemId.c_str());
    CoTaskArray<BYTE> copy(blob.size());
    if (!blob.empty()) memcpy(copy.Get(), blob.data(), blob.size());
    VariantInit(&a.vEUInfo);
    if (euInfo.CopyTo(&a.vEUInfo) == E_OUTOFMEMORY) throw std::bad_alloc();
    a.szAccessPath = path.Detach();
    a.szItemID = id.Detach();
    a.bActive = active;
    a.hClient = clientHandle;
    a.hServer = serverHandle;
    a.dwAccessRights = accessRights;
    a.dwBlobSize = static_cast<DWORD>(blob.size());
    a.pBlob = copy.Detach();
    a.vtRequestedDataType = requestedType;
    a.vtCanonicalDataType = canonicalType;
    a.dwEUType = euType;
    out = a;
}

void FreeAttributes(OPCITEMATTRIBUTES& a) noexcept {
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    CoTaskMemFree(a.pBlob);
    VariantClear(&a.vEUInfo);
    a = OPCITEMATTRIBUTES{};
}

void OPCItem::CopyValueTo(VARIANT& out) const noexcept {
    VariantInit(&out);
    HRESULT hr = VariantCopy(&out, const_cast<VARIANT*>(value_.Get()));
    if (SUCCEEDED(hr) && V_VT(&out) != requestedType_)
        hr = VariantChangeType(&out, &out, 0, requestedType_);
    if (FAILED(hr)) {
        VariantClear(&out);
        V_VT(&out) = VT_ERROR;
        V_ERROR(&out) = hr;
    }
}

void OPCItem::CopyStateTo(OPCITEMSTATE& out) const {
    VariantInit(&out.vDataValue);
    if (VariantCopy(&out.vDataValue, const_cast<VARIANT*>(value_.Get())) == E_OUTOFMEMORY)
        throw std::bad_alloc();
    out.hClient = clientHandle_;
    out.ftTimeStamp = timestamp_;
    out.wQuality = quality_;
    out.wReserved = 0;
}
