// NullGroup: a group that keeps its items' handles and nothing else. Every item is a VT_R8
// that reads and writes; a read answers the same value with good quality and the time of the
// call; a write goes nowhere. The calls check their arguments and build their out-arrays as a
// real group does, so that a client pays the same marshaling against either.
#pragma once

#include <windows.h>
#include <string>
#include <unordered_map>

#include "com_object.h"
#include "opc.h"
#include "sync.h"

struct NullGroupState {
    std::wstring name;
    BOOL active = FALSE;
    DWORD updateRate = 0;
    OPCHANDLE clientHandle = 0;
    LONG timeBias = 0;
    FLOAT percentDeadband = 0;
    DWORD lcid = 0;
};

class NullGroup final : public ComObject<NullGroup, IOPCItemMgt, IOPCSyncIO, IOPCGroupStateMgt> {
  public:
    NullGroup(OPCHANDLE serverHandle, NullGroupState state)
        : serverHandle_(serverHandle), state_(std::move(state)) {}

    std::wstring Name() const;

    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       HRESULT** ppErrors) override;

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

  private:
    struct Item {
        OPCHANDLE client;
        VARTYPE requested;  // VT_EMPTY: the canonical VT_R8
        BOOL active;
    };

    // AddItems and ValidateItems: the results of `definitions`, added when `add`.
    HRESULT DefineItems(DWORD count, const OPCITEMDEF* definitions, bool add,
                        OPCITEMRESULT** results, HRESULT** errors) noexcept;
    // The calls on existing handles: `each(item, i)` gives the i-th item's code, an unknown
    // handle gets OPC_E_INVALIDHANDLE. S_FALSE when any item failed.
    template <class Each>
    HRESULT ForEachItem(DWORD count, const OPCHANDLE* handles, HRESULT** errors,
                        Each&& each) noexcept;

    const OPCHANDLE serverHandle_;
    // One lock for everything below: the group's only one.
    mutable CriticalSection lock_;
    NullGroupState state_;
    std::unordered_map<OPCHANDLE, Item> items_;
    OPCHANDLE nextItem_ = 1;
};

// Group update rates below this are revised up to it.
constexpr DWORD kFastestUpdateRate = 10;
// E_INVALIDARG for a deadband outside 0..100.
HRESULT CheckDeadband(const FLOAT* percent) noexcept;
