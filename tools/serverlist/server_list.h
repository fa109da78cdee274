// OPCServerList: the server list object (CLSID_OpcServerList) clients create on a machine to
// find its OPC servers without reading the component categories themselves. Every answer is
// read from the registry at the moment of the call, so a server registered meanwhile is seen.
//
// Category queries: a class is listed when it implements at least one of the implemented
// categories asked for and requires none that the caller did not list among the required
// ones. No implemented categories asked for gives an empty list, as does a category no class
// implements.
#pragma once

#include <windows.h>

#include "com_object.h"
#include "opc.h"
#include "server_list_identity.h"

class OPCServerList final : public ComObject<OPCServerList, IOPCServerList, IOPCServerList2> {
  public:
    // IOPCServerList
    STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                         CATID rgcatidReq[], IEnumGUID** ppenumClsid) override;
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                 LPOLESTR* ppszUserType) override;
    // Both interfaces declare the same CLSIDFromProgID: one body serves both.
    STDMETHODIMP CLSIDFromProgID(LPCOLESTR szProgId, LPCLSID clsid) override;

    // IOPCServerList2
    STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                         CATID rgcatidReq[], IOPCEnumGUID** ppenumClsid) override;
    STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType,
                                 LPOLESTR* ppszVerIndProgID) override;
};
