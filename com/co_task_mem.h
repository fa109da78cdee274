// Blocks from the COM task allocator, owned until they are handed to a client.
//
// An out-parameter array is built in a CoTaskArray and handed over with Detach only when the
// whole call has succeeded, so a failure path leaks nothing and gives the client nothing
// half-built.
#pragma once

#include <objbase.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

struct CoTaskMemDeleter {
    void operator()(void* p) const noexcept { CoTaskMemFree(p); }
};

template <class T>
class CoTaskArray {
  public:
    CoTaskArray() noexcept = default;
    // Zero-filled array of n elements; throws std::bad_alloc when it cannot be had,
    // including a count whose byte size overflows.
    explicit CoTaskArray(size_t n) : n_(n) {
        if (n == 0) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        p_ = static_cast<T*>(CoTaskMemAlloc(n * sizeof(T)));
        if (!p_) throw std::bad_alloc();
        memset(static_cast<void*>(p_), 0, n * sizeof(T));
    }
    CoTaskArray(CoTaskArray&& other) noexcept
        : p_(std::exchange(other.p_, nullptr)), n_(std::exchange(other.n_, 0)) {}
    CoTaskArray& operator=(CoTaskArray&& other) noexcept {
        if (this != &other) {
            CoTaskMemFree(p_);
            p_ = std::exchange(other.p_, nullptr);
            n_ = std::exchange(other.n_, 0);
        }
        return *this;
    }
    CoTaskArray(const CoTaskArray&) = delete;
    CoTaskArray& operator=(const CoTaskArray&) = delete;
    ~CoTaskArray() { CoTaskMemFree(p_); }

    T* Get() const noexcept { return p_; }
    size_t Size() const noexcept { return n_; }
    T& operator[](size_t i) const noexcept { return p_[i]; }
    T* Detach() noexcept {
        n_ = 0;
        return std::exchange(p_, nullptr);
    }

  private:
    T* p_ = nullptr;
    size_t n_ = 0;
};

// A CoTaskMemAlloc copy of a string (null for null); throws std::bad_alloc.
inline wchar_t* CoTaskStrDup(const wchar_t* text) {
    if (!text) return nullptr;
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) throw std::bad_alloc();
    memcpy(copy, text, bytes);
    return copy;
}

// Owning CoTaskMem string.
class CoTaskString {
  public:
    CoTaskString() noexcept = default;
    explicit CoTaskString(const wchar_t* text) : s_(CoTaskStrDup(text)) {}
    CoTaskString(CoTaskString&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    CoTaskString& operator=(CoTaskString&& other) noexcept {
        if (this != &other) {
            CoTaskMemFree(s_);
            s_ = std::exchange(other.s_, nullptr);
        }
        return *this;
    }
    CoTaskString(const CoTaskString&) = delete;
    CoTaskString& operator=(const CoTaskString&) = delete;
    ~CoTaskString() { CoTaskMemFree(s_); }

    wchar_t* Get() const noexcept { return s_; }
    wchar_t* Detach() noexcept { return std::exchange(s_, nullptr); }
    // For out-parameters filled by a callee.
    wchar_t** Put() noexcept {
        CoTaskMemFree(std::exchange(s_, nullptr));
        return &s_;
    }

  private:
    wchar_t* s_ = nullptr;
};
