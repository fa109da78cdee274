// What the stress client's calls have in common: its sink objects, the enumerator walk and the
// interfaces it asks objects for.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <vector>

#include "com_ptr.h"
#include "opc.h"
#include "random_input.h"

// IOPCGroupStateMgt::GetState for the group's server handle alone.
inline HRESULT ServerHandleOf(IOPCGroupStateMgt* group, OPCHANDLE& server) {
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE client = 0;
    const HRESULT hr =
        group->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server);
    CoTaskMemFree(name);
    return hr;
}

// A sink object of the client's: one interface, counted, deleted with its last reference.
template <class Interface>
class Sink : public Interface {
  public:
    virtual ~Sink() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != __uuidof(Interface)) return E_NOINTERFACE;
        *ppv = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }

  private:
    volatile LONG refs_ = 1;
};

// A data callback that calls back into its group from inside the callback.
class ReenteringSink final : public Sink<IOPCDataCallback> {
  public:
    explicit ReenteringSink(ComPtr<IOPCGroupStateMgt> group) : group_(std::move(group)) {}
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                              WORD*, FILETIME*, HRESULT*) override {
        return Reenter();
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                WORD*, FILETIME*, HRESULT*) override {
        return Reenter();
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
        return Reenter();
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

  private:
    HRESULT Reenter() {
        OPCHANDLE server = 0;
        ServerHandleOf(group_.Get(), server);
        return S_OK;
    }
    ComPtr<IOPCGroupStateMgt> group_;
};

class ShutdownSink final : public Sink<IOPCShutdown> {
  public:
    STDMETHODIMP ShutdownRequest(LPCWSTR) override { return S_OK; }
};

// Next, Skip, Reset and Clone in a random order; `free` takes back what Next hands out.
//
// Wine's own proxy for IEnumConnections garbles the fetched count (and now and then writes
// past the elements asked for): Next gets a zeroed buffer far larger than what it asks for,
// on the heap, and whatever came back is freed by content, not by the count.
template <class Enum, class Element, class Free>
void Walk(Enum* e, RandomInput& in, Free&& free) {
    if (!e) return;
    constexpr ULONG kAsked = 8, kRoom = 64;
    std::vector<Element> elements(kRoom);
    ULONG fetched = 0;
    for (int i = 0; i < 4; ++i) {
        switch (in.Below(4)) {
            case 0:
                for (Element& element : elements) element = Element{};
                if (SUCCEEDED(e->Next(kAsked, elements.data(), &fetched)))
                    for (Element& element : elements) free(element);
                break;
            case 1:
                e->Skip(in.Chance(50) ? in.Below(5) : 0xFFFFFFFF);
                break;
            case 2:
                e->Reset();
                break;
            default: {
                ComPtr<Enum> clone;
                e->Clone(clone.Put());
                break;
            }
        }
    }
}

inline const std::vector<GUID>& ServerIids() {
    static const std::vector<GUID> iids{IID_IOPCServer,
                                        IID_IOPCCommon,
                                        IID_IOPCServerPublicGroups,
                                        IID_IOPCBrowseServerAddressSpace,
                                        IID_IOPCItemProperties,
                                        IID_IConnectionPointContainer,
                                        IID_IPersistStorage,
                                        IID_IOPCGroupStateMgt,
                                        IID_IOPCItemMgt,
                                        IID_IOPCSyncIO,
                                        IID_IOPCAsyncIO2,
                                        IID_IOPCAsyncIO,
                                        IID_IDataObject,
                                        IID_IEnumString,
                                        IID_IEnumUnknown,
                                        IID_IOPCShutdown,
                                        IID_IOPCDataCallback,
                                        IID_IOPCPublicGroupStateMgt,
                                        IID_IOPCBrowse,
                                        IID_IOPCItemIO,
                                        IID_IOPCSyncIO2,
                                        IID_IOPCAsyncIO3,
                                        IID_IOPCGroupStateMgt2,
                                        IID_IOPCItemDeadbandMgt};
    return iids;
}
