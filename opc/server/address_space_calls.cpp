// IOPCBrowseServerAddressSpace of the server object, over its AddressSpaceBrowser.
#include "opc_server.h"

#include "co_task_mem.h"
#include "com_call.h"
#include "enumerators.h"

STDMETHODIMP OPCServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    RETURN_HR_IF_NULL(E_POINTER, pNameSpaceType);
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

STDMETHODIMP OPCServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                             LPCWSTR szString) {
    return ComCall([&] { return browser_.ChangePosition(dwBrowseDirection, szString); });
}

// The filter string, data type and access rights are not applied: every name is listed.
STDMETHODIMP OPCServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR, VARTYPE, DWORD,
                                         LPENUMSTRING* ppIEnumString) {
    RETURN_HR_IF_NULL(E_POINTER, ppIEnumString);
    *ppIEnumString = nullptr;
    return ComCall([&] {
        std::vector<std::wstring> names = browser_.Names(dwBrowseFilterType);
        const bool empty = names.empty();
        RETURN_IF_FAILED(EnumString::CreateInto(std::move(names), nullptr, ppIEnumString));
        return empty ? S_FALSE : S_OK;
    });
}

STDMETHODIMP OPCServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    RETURN_HR_IF_NULL(E_POINTER, szItemID);
    *szItemID = nullptr;
    return ComCall([&] {
        *szItemID = CoTaskString(browser_.ItemId(szItemDataID).c_str()).Detach();
        return S_OK;
    });
}

// This server has no access paths.
STDMETHODIMP OPCServer::BrowseAccessPaths(LPCWSTR, LPENUMSTRING* ppIEnumString) {
    RETURN_HR_IF_NULL(E_POINTER, ppIEnumString);
    *ppIEnumString = nullptr;
    return ComCall([&] {
        RETURN_IF_FAILED(EnumString::CreateInto({}, ComPtr<IUnknown>(Identity()), ppIEnumString));
        return S_FALSE;
    });
}
