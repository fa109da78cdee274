// IOPCBrowse of the server object.
//
// Browse hands out a continuation point when it stops at dwMaxElementsReturned with more to
// come, and sets *pbMoreElements then as well, so that a client that only looks at the flag
// knows the list was cut too. The returned point replaces *pszContinuationPoint, and the
// string passed in is freed then, as the rule for an [in, out] pointer has it: the stub
// allocated it for this call and frees only what the call leaves there.
//
// szVendorFilter is not applied: this server has no vendor-specific filters, and a client
// that passes one gets every element the other filters let through.
//
// Both methods answer S_FALSE when an item or a property in the answer carries an error (a
// property asked for that the item does not have, an identifier that names no item), as an
// OPC call with per-entry results does; S_OK otherwise.
#include "opc_server.h"

#include <algorithm>
#include <string>
#include <vector>

#include "co_task_mem.h"
#include "com_call.h"
#include "item_properties_reply.h"
#include "property_looks.h"
#include "reply_budget.h"

namespace {

HRESULT CheckPropertyIds(DWORD count, const DWORD* ids) {
    if (count > 0 && !ids) return E_INVALIDARG;
    if (count > COPCGroup::kMaxItemsPerCall) return E_INVALIDARG;
    return S_OK;
}

// Out-arrays still being filled go with everything in them when the call fails.
struct PropertiesArray {
    CoTaskArray<OPCITEMPROPERTIES> items;
    explicit PropertiesArray(size_t n) : items(n) {}
    ~PropertiesArray() {
        for (size_t i = 0; i < items.Size(); ++i) FreeItemProperties(items[i]);
    }
};
struct ElementArray {
    CoTaskArray<OPCBROWSEELEMENT> elements;
    explicit ElementArray(size_t n) : elements(n) {}
    ~ElementArray() {
        for (size_t i = 0; i < elements.Size(); ++i) {
            CoTaskMemFree(elements[i].szName);
            CoTaskMemFree(elements[i].szItemID);
            FreeItemProperties(elements[i].ItemProperties);
        }
    }
};

}  // namespace

STDMETHODIMP OPCServer::GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs,
                                      BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                      DWORD* pdwPropertyIDs, OPCITEMPROPERTIES** ppItemProperties) {
    RETURN_HR_IF_NULL(E_POINTER, ppItemProperties);
    *ppItemProperties = nullptr;
    if (dwItemCount == 0 || !pszItemIDs || dwItemCount > COPCGroup::kMaxItemsPerCall)
        return E_INVALIDARG;
    RETURN_IF_FAILED(CheckPropertyIds(dwPropertyCount, pdwPropertyIDs));
    return ComCall([&] {
        const std::vector<PropertyLook> looks = LookAtProperties(pszItemIDs, dwItemCount);
        const PropertyRequest request{dwPropertyCount == 0, dwPropertyCount, pdwPropertyIDs,
                                      bReturnPropertyValues != FALSE};
        PropertiesArray result(dwItemCount);
        ReplyBudget budget;
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < dwItemCount; ++i) {
            budget.Spend(sizeof(OPCITEMPROPERTIES));
            FillItemProperties(looks[i], request, budget, result.items[i]);
            // An empty identifier is no identifier at all, rather than one nobody knows.
            if (looks[i].look == Look::kNoTag && (!pszItemIDs[i] || !*pszItemIDs[i]))
                result.items[i].hrErrorID = OPC_E_INVALIDITEMID;
            if (result.items[i].hrErrorID != S_OK) hr = S_FALSE;
        }
        *ppItemProperties = result.items.Detach();
        return hr;
    });
}

STDMETHODIMP OPCServer::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint,
                               DWORD dwMaxElementsReturned, OPCBROWSEFILTER dwBrowseFilter,
                               LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                               BOOL bReturnAllProperties, BOOL bReturnPropertyValues,
                               DWORD dwPropertyCount, DWORD* pdwPropertyIDs, BOOL* pbMoreElements,
                               DWORD* pdwCount, OPCBROWSEELEMENT** ppBrowseElements) {
    if (!pszContinuationPoint || !pbMoreElements || !pdwCount || !ppBrowseElements)
        return E_POINTER;
    *pbMoreElements = FALSE;
    *pdwCount = 0;
    *ppBrowseElements = nullptr;
    if (dwBrowseFilter != OPC_BROWSE_FILTER_ALL && dwBrowseFilter != OPC_BROWSE_FILTER_BRANCHES &&
        dwBrowseFilter != OPC_BROWSE_FILTER_ITEMS)
        return E_INVALIDARG;
    RETURN_IF_FAILED(CheckPropertyIds(dwPropertyCount, pdwPropertyIDs));
    if (szVendorFilter && wcslen(szVendorFilter) > NameFilter::kMaxLength) return E_INVALIDARG;
    return ComCall([&] {
        const std::wstring itemId = szItemID ? szItemID : L"";
        const std::wstring nameFilter = szElementNameFilter ? szElementNameFilter : L"";
        NameFilter names;
        if (!names.Parse(nameFilter)) return E_INVALIDARG;

        PendingListing listing;
        const DriverSnapshot drivers = g_drivers.Snapshot();
        const wchar_t* resume = *pszContinuationPoint;
        if (resume && *resume) {
            if (!continuationPoints_.Take(resume, listing) ||
                !listing.SameBrowse(itemId, dwBrowseFilter, nameFilter) ||
                !listing.Current(drivers))
                return OPC_E_INVALIDCONTINUATIONPOINT;
        } else {
            RETURN_IF_FAILED(ListBranch(*drivers, itemId, dwBrowseFilter, names, listing.elements));
            listing.itemId = itemId;
            listing.filter = dwBrowseFilter;
            listing.nameFilter = nameFilter;
            listing.generation = drivers;
        }

        const size_t left = listing.elements.size() - listing.next;
        const size_t count =
            dwMaxElementsReturned == 0 ? left : std::min<size_t>(left, dwMaxElementsReturned);
        const BrowseElement* page = listing.elements.data() + listing.next;

        // The properties of the page's items, with one look per driver for all of them.
        const bool withProperties = bReturnAllProperties || dwPropertyCount > 0;
        std::vector<const wchar_t*> itemIds;
        std::vector<size_t> itemAt;
        for (size_t i = 0; withProperties && i < count; ++i) {
            if (!(page[i].flags & OPC_BROWSE_ISITEM)) continue;
            itemIds.push_back(page[i].itemId.c_str());
            itemAt.push_back(i);
        }
        const std::vector<PropertyLook> looks = LookAtProperties(itemIds.data(), itemIds.size());
        const PropertyRequest request{bReturnAllProperties != FALSE, dwPropertyCount,
                                      pdwPropertyIDs, bReturnPropertyValues != FALSE};

        ElementArray result(count);
        ReplyBudget budget;
        HRESULT hr = S_OK;
        for (size_t i = 0; i < count; ++i) {
            OPCBROWSEELEMENT& e = result.elements[i];
            budget.Spend(sizeof(OPCBROWSEELEMENT));
            budget.SpendString(page[i].name.c_str());
            budget.SpendString(page[i].itemId.c_str());
            e.szName = CoTaskStrDup(page[i].name.c_str());
            e.szItemID = CoTaskStrDup(page[i].itemId.c_str());
            e.dwFlagValue = page[i].flags;
        }
        for (size_t k = 0; k < looks.size(); ++k) {
            OPCITEMPROPERTIES& properties = result.elements[itemAt[k]].ItemProperties;
            FillItemProperties(looks[k], request, budget, properties);
            if (properties.hrErrorID != S_OK) hr = S_FALSE;
        }

        listing.next += count;
        const bool more = listing.next < listing.elements.size();
        CoTaskString point;
        if (more) point = CoTaskString(continuationPoints_.Keep(std::move(listing)).c_str());
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = point.Detach();
        *pbMoreElements = more;
        *pdwCount = static_cast<DWORD>(count);
        *ppBrowseElements = result.elements.Detach();
        return hr;
    });
}
