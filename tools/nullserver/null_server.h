// NullServer: the server object of the null server. It answers what an OPC client needs to
// make groups and ask for texts, and keeps its groups by handle; everything else is
// E_NOTIMPL.
#pragma once

#include <windows.h>
#include <unordered_map>

#include "com_object.h"
#include "com_ptr.h"
#include "null_group.h"
#include "opc.h"
#include "sync.h"

class NullServer final : public ComObject<NullServer, IOPCServer, IOPCCommon> {
  public:
    NullServer();

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                          OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                          DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                          REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                       LPUNKNOWN* ppUnk) override;

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID dwLcid) override;
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHODIMP SetClientName(LPCWSTR szName) override;

  private:
    FILETIME startTime_{};
    CriticalSection lock_;  // guards the groups and the next handle
    std::unordered_map<OPCHANDLE, ComPtr<NullGroup>> groups_;
    OPCHANDLE nextGroup_ = 1;
};
