// Base of every COM object the server creates, in place of ATL's CComObject family.
//
//   class Foo final : public ComObject<Foo, IFirst, ISecond> { ... };
//
// The interface list is the explicit interface map: QueryInterface answers IUnknown (the
// first interface is the identity) and exactly the listed interfaces, in that order, plus
// whatever the class adds in QueryExtra (base interfaces, embedded connection points).
// Reference counting is interlocked; the object holds a module lock from construction to
// destruction, so the server process stays up while any of its objects lives.
//
// Aggregation: created with an outer unknown, the object delegates IUnknown on every
// interface to the outer object, and the creator holds the inner, non-delegating unknown.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <new>
#include <utility>

#include "com_ptr.h"
#include "server_module.h"

template <class Derived, class Primary, class... Others>
class ComObject : public Primary, public Others... {
  public:
    // IUnknown of every listed interface.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (outer_) return outer_->QueryInterface(riid, ppv);
        return InnerQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_ ? outer_->AddRef() : InnerAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_ ? outer_->Release() : InnerRelease(); }

    // Creation through a class factory: the rules of IClassFactory::CreateInstance.
    template <class... Args>
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
        Derived* object = new (std::nothrow) Derived(std::forward<Args>(args)...);
        if (!object) return E_OUTOFMEMORY;
        object->outer_ = outer;
        object->InnerAddRef();
        HRESULT hr = object->FinalConstruct();
        if (SUCCEEDED(hr)) hr = object->InnerQueryInterface(riid, ppv);
        object->InnerRelease();
        return hr;
    }

    // Creation inside the server (enumerators, sub-objects): one reference, owned by the
    // result. Throws std::bad_alloc, so call it inside ComCall.
    template <class... Args>
    static ComPtr<Derived> Make(Args&&... args) {
        Derived* object = new Derived(std::forward<Args>(args)...);
        object->InnerAddRef();
        return ComPtr<Derived>::Attach(object);
    }

    // A reference, unless the object is on its way out already (its count reached 0): for
    // code that finds objects through a list of its own rather than through a reference.
    bool TryAddRef() noexcept {
        if (outer_) return false;
        for (LONG n = refs_; n > 0; n = refs_)
            if (InterlockedCompareExchange(&refs_, n + 1, n) == n) return true;
        return false;
    }

    // The pointer that stands for the object's identity.
    IUnknown* Identity() noexcept {
        return outer_ ? outer_ : static_cast<IUnknown*>(static_cast<Primary*>(this));
    }

  protected:
    ComObject() noexcept { Module().Lock(); }
    virtual ~ComObject() { Module().Unlock(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    // Hooks for the derived class.
    HRESULT FinalConstruct() { return S_OK; }
    // The last reference is gone. A class that must end work first (a thread) hides this.
    void OnLastRelease() noexcept { delete static_cast<Derived*>(this); }
    void* QueryExtra(REFIID) { return nullptr; }

    LONG RefCount() const noexcept { return refs_; }

  private:
    template <class I>
    bool TryInterface(REFIID riid, void** ppv) {
        if (riid != __uuidof(I)) return false;
        *ppv = static_cast<I*>(static_cast<Derived*>(this));
        return true;
    }

    HRESULT InnerQueryInterface(REFIID riid, void** ppv) {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = outer_ ? static_cast<IUnknown*>(&inner_)
                          : static_cast<IUnknown*>(static_cast<Primary*>(this));
        } else if (!TryInterface<Primary>(riid, ppv) && !(TryInterface<Others>(riid, ppv) || ...)) {
            *ppv = static_cast<Derived*>(this)->QueryExtra(riid);
        }
        if (!*ppv) return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }
    ULONG InnerAddRef() noexcept { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG InnerRelease() noexcept {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) static_cast<Derived*>(this)->OnLastRelease();
        return static_cast<ULONG>(left);
    }

    // The non-delegating unknown handed to an aggregating outer object.
    struct InnerUnknown final : IUnknown {
        explicit InnerUnknown(ComObject* self) : self_(self) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            return self_->InnerQueryInterface(riid, ppv);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return self_->InnerAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return self_->InnerRelease(); }
        ComObject* self_;
    };

    volatile LONG refs_ = 0;
    IUnknown* outer_ = nullptr;  // not counted: the outer object owns us
    InnerUnknown inner_{this};
};
