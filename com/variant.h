// Owning VARIANT and BSTR. A Variant is always initialised and cleared exactly once.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <new>
#include <utility>

class Bstr {
  public:
    Bstr() noexcept = default;
    // Throws std::bad_alloc when the copy cannot be made.
    explicit Bstr(const wchar_t* text) : s_(nullptr) {
        if (text && !(s_ = SysAllocString(text))) throw std::bad_alloc();
    }
    Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(s_);
            s_ = std::exchange(other.s_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s_); }

    BSTR Get() const noexcept { return s_; }
    BSTR Detach() noexcept { return std::exchange(s_, nullptr); }
    UINT Length() const noexcept { return SysStringLen(s_); }

  private:
    BSTR s_ = nullptr;
};

class Variant {
  public:
    Variant() noexcept { VariantInit(&v_); }
    Variant(const Variant& other) : Variant() {
        Check(VariantCopy(&v_, const_cast<VARIANT*>(&other.v_)));
    }
    // A deep copy of a VARIANT owned by someone else.
    explicit Variant(const VARIANT& other) : Variant() {
        Check(VariantCopy(&v_, const_cast<VARIANT*>(&other)));
    }
    Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    Variant& operator=(const Variant& other) {
        if (this != &other) {
            Variant copy(other);
            Swap(copy);
        }
        return *this;
    }
    Variant& operator=(Variant&& other) noexcept {
        Swap(other);
        return *this;
    }
    ~Variant() { VariantClear(&v_); }

    void Swap(Variant& other) noexcept { std::swap(v_, other.v_); }
    void Clear() noexcept { VariantClear(&v_); }

    VARIANT* Get() noexcept { return &v_; }
    const VARIANT* Get() const noexcept { return &v_; }
    VARTYPE Type() const noexcept { return V_VT(&v_); }
    // For out-parameters: clears what is held first.
    VARIANT* Put() noexcept {
        VariantClear(&v_);
        return &v_;
    }
    // Moves the value into a VARIANT the caller owns (which must be empty or initialised).
    void DetachTo(VARIANT* out) noexcept {
        *out = v_;
        VariantInit(&v_);
    }
    // Deep copy into a caller-owned VARIANT (initialised or empty).
    HRESULT CopyTo(VARIANT* out) const noexcept {
        VariantInit(out);
        return VariantCopy(out, const_cast<VARIANT*>(&v_));
    }

  private:
    static void Check(HRESULT hr) {
        if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    }
    VARIANT v_;
};
