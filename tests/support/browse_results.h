// IOPCBrowse's answers copied into plain values for tests, everything the server allocated
// freed on the way.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "co_task_mem.h"
#include "opc.h"
#include "variant.h"

struct PropertyResult {
    DWORD id = 0;
    VARTYPE type = VT_EMPTY;
    std::wstring itemId;
    bool hasItemId = false;
    std::wstring description;
    Variant value;
    HRESULT hr = E_FAIL;
};

struct ItemPropertiesResult {
    HRESULT hr = E_FAIL;
    std::vector<PropertyResult> properties;
    const PropertyResult* Find(DWORD id) const {
        for (const PropertyResult& p : properties)
            if (p.id == id) return &p;
        return nullptr;
    }
};

inline ItemPropertiesResult TakeItemProperties(OPCITEMPROPERTIES& in) {
    ItemPropertiesResult out;
    out.hr = in.hrErrorID;
    for (DWORD i = 0; i < in.dwNumProperties; ++i) {
        OPCITEMPROPERTY& p = in.pItemProperties[i];
        PropertyResult r;
        r.id = p.dwPropertyID;
        r.type = p.vtDataType;
        r.hasItemId = p.szItemID != nullptr;
        if (p.szItemID) r.itemId = p.szItemID;
        if (p.szDescription) r.description = p.szDescription;
        r.value = Variant(p.vValue);
        r.hr = p.hrErrorID;
        CoTaskMemFree(p.szItemID);
        CoTaskMemFree(p.szDescription);
        VariantClear(&p.vValue);
        out.properties.push_back(std::move(r));
    }
    CoTaskMemFree(in.pItemProperties);
    return out;
}

struct ElementResult {
    std::wstring name;
    std::wstring itemId;
    DWORD flags = 0;
    ItemPropertiesResult properties;
};

// One call of Browse.
struct BrowsePage {
    HRESULT hr = E_FAIL;
    BOOL more = FALSE;
    std::wstring point;  // the continuation point it gave, "" for none
    std::vector<ElementResult> elements;
    std::vector<std::wstring> Names() const {
        std::vector<std::wstring> names;
        for (const ElementResult& e : elements) names.push_back(e.name);
        return names;
    }
    const ElementResult* Find(const std::wstring& name) const {
        for (const ElementResult& e : elements)
            if (e.name == name) return &e;
        return nullptr;
    }
};

inline BrowsePage TakeBrowsePage(HRESULT hr, BOOL more, LPWSTR point, DWORD count,
                                 OPCBROWSEELEMENT* elements) {
    BrowsePage page;
    page.hr = hr;
    page.more = more;
    if (point) page.point = point;
    CoTaskMemFree(point);
    for (DWORD i = 0; elements && i < count; ++i) {
        ElementResult e;
        if (elements[i].szName) e.name = elements[i].szName;
        if (elements[i].szItemID) e.itemId = elements[i].szItemID;
        e.flags = elements[i].dwFlagValue;
        e.properties = TakeItemProperties(elements[i].ItemProperties);
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        page.elements.push_back(std::move(e));
    }
    CoTaskMemFree(elements);
    return page;
}

// An [in, size_is] array is a ref pointer even when empty: the proxy refuses a null one.
inline DWORD* PropertyIds(const std::vector<DWORD>& ids) {
    static DWORD none[1] = {};
    return ids.empty() ? none : const_cast<DWORD*>(ids.data());
}

struct BrowseRequest {
    std::wstring itemId;
    std::wstring point;
    DWORD max = 0;
    OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL;
    std::wstring names;
    bool allProperties = false;
    bool values = false;
    std::vector<DWORD> propertyIds;
};

inline BrowsePage BrowseOnce(IOPCBrowse* browse, const BrowseRequest& r) {
    // The string passed in is the caller's until the call: the proxy frees or reuses it
    // for the answer's, which the caller owns then. The proxy refuses a null one: no point
    // is "".
    LPWSTR point = CoTaskStrDup(r.point.c_str());
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    const HRESULT hr =
        browse->Browse(const_cast<wchar_t*>(r.itemId.c_str()), &point, r.max, r.filter,
                       const_cast<wchar_t*>(r.names.c_str()), const_cast<wchar_t*>(L""),
                       r.allProperties, r.values, static_cast<DWORD>(r.propertyIds.size()),
                       PropertyIds(r.propertyIds), &more, &count, &elements);
    return TakeBrowsePage(hr, more, point, count, elements);
}
