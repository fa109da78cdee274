// OPCServer: the COM object a client creates, one per connection. It waits for the end of
// start-up, keeps the scan thread running while it lives, and answers IOPCCommon and the
// status and error-text calls of IOPCServer. Groups arrive with the group object.
#pragma once

#include <windows.h>
#include <string>

#include "com_object.h"
#include "opc.h"
#include "sync.h"

class OPCServer final : public ComObject<OPCServer, IOPCCommon, IOPCServer> {
  public:
    static constexpr LCID kLocale = 1049;

    OPCServer() noexcept;
    ~OPCServer() override;

    HRESULT FinalConstruct();

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID lcid) override;
    STDMETHODIMP GetLocaleID(LCID* lcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override;
    STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override;
    STDMETHODIMP SetClientName(LPCWSTR name) override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE hClientGroup,
                          LONG* timeBias, FLOAT* deadband, DWORD lcid, OPCHANDLE* hServerGroup,
                          DWORD* revisedRate, REFIID riid, LPUNKNOWN* unk) override;
    STDMETHODIMP GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override;
    STDMETHODIMP GetGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* unk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE group, BOOL force) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID riid, LPUNKNOWN* unk) override;

  private:
    bool scanStarted_ = false;
    FILETIME startTime_{};
    CriticalSection stateLock_;  // the client name
    std::wstring clientName_;
};
