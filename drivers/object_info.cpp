#include "object_info.h"

#include <objbase.h>

void FreeDriverRecord(DLLOBJECTINFO& raw) noexcept {
    CoTaskMemFree(raw.name);
    CoTaskMemFree(raw.description);
    raw.name = nullptr;
    raw.description = nullptr;
    VariantClear(&raw.value);
}

void CObjectInfo::TakeFrom(DLLOBJECTINFO& raw) {
    struct FreeOnExit {
        DLLOBJECTINFO& r;
        ~FreeOnExit() { FreeDriverRecord(r); }
    } freeOnExit{raw};

    name = raw.name ? raw.name : "";
    description = raw.description ? raw.description : "";
    id = raw.id;
    reserved1 = raw.reserved1;
    reserved2 = raw.reserved2;
    driverData = raw.driverData;
    visible = raw.visible;
    isTag = raw.isTag;
    image = raw.image;
    treeImage = raw.treeImage;
    if (!isTag) return;
    readOnly = raw.readOnly;
    quality = raw.quality;
    HRESULT hr = VariantCopy(value.Put(), &raw.value);
    if (FAILED(hr)) {
        VARIANT* v = value.Put();
        V_VT(v) = VT_ERROR;
        V_ERROR(v) = hr;
    }
    clients = raw.clients;
    timestamp = raw.timestamp;
}

DLLOBJECTINFO CObjectInfo::ForDriver() const noexcept {
    DLLOBJECTINFO raw{};
    raw.name = const_cast<char*>(name.c_str());
    raw.description = const_cast<char*>(description.c_str());
    raw.driverData = driverData;
    raw.clients = clients;
    VariantInit(&raw.value);
    value.CopyTo(&raw.value);
    return raw;
}
