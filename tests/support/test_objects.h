// Small COM objects for in-process tests of the helpers.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "com_object.h"
#include "opc.h"

// Counts its own references without holding a module lock, so tests can watch both.
class CountedUnknown final : public IUnknown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    volatile LONG refs = 1;  // the test's own reference; never deleted
};

// An IOPCShutdown sink that counts references and calls.
class CountingShutdownSink final : public IOPCShutdown {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IOPCShutdown) return E_NOINTERFACE;
        *ppv = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP ShutdownRequest(LPCWSTR) override {
        InterlockedIncrement(&calls);
        return S_OK;
    }
    volatile LONG refs = 1;
    volatile LONG calls = 0;
};
