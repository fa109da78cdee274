// A client's IOPCShutdown sink for tests: it records the calls and their reason, and, like
// many clients, lets go of the server object it holds inside the callback.
#pragma once

#include <windows.h>
#include <string>

#include "com_ptr.h"
#include "opc.h"

class LettingGoShutdownSink final : public IOPCShutdown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IOPCShutdown) return E_NOINTERFACE;
        *ppv = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs_); }
    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override {
        reason_ = reason ? reason : L"<null>";
        server_.Reset();
        InterlockedIncrement(&calls_);
        return S_OK;
    }

    // Advises this sink on `server`'s shutdown point and keeps `server` until the callback.
    HRESULT AdviseOn(const ComPtr<IOPCServer>& server) {
        server_ = server;
        ComPtr<IConnectionPointContainer> container;
        HRESULT hr = server.As(container);
        if (FAILED(hr)) return hr;
        ComPtr<IConnectionPoint> point;
        hr = container->FindConnectionPoint(IID_IOPCShutdown, point.Put());
        if (FAILED(hr)) return hr;
        DWORD cookie = 0;
        return point->Advise(this, &cookie);
    }
    bool WaitForCall(DWORD ms) const {
        for (DWORD waited = 0; calls_ == 0 && waited < ms; waited += 20) Sleep(20);
        return calls_ != 0;
    }

    ComPtr<IOPCServer> server_;
    std::wstring reason_;
    volatile LONG calls_ = 0;

  private:
    volatile LONG refs_ = 1;
};
