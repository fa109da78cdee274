// The class object of a server class: a new object on every CreateInstance (never a shared
// instance), aggregated when an outer unknown is given, and LockServer on the module count.
//
// The factory itself holds no module lock: COM keeps a reference to it for as long as it is
// registered, and a counted factory would keep the process alive for ever.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <new>

#include "com_call.h"
#include "server_module.h"

template <class T>
class ClassFactory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return ComCall([&] { return T::CreateInstance(outer, riid, ppv); });
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            Module().Lock();
        else
            Module().Unlock();
        return S_OK;
    }

    // A new factory with one reference owned by the caller, or null.
    static IClassFactory* New() noexcept {
        auto* factory = new (std::nothrow) ClassFactory();
        if (factory) factory->AddRef();
        return factory;
    }

  private:
    ClassFactory() = default;
    ~ClassFactory() = default;
    volatile LONG refs_ = 0;
};
