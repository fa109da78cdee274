// A value of each thread, kept in a Win32 TLS slot. MinGW's thread_local is emulated: every
// access goes through pthread_once and pthread_getspecific, each with a lock of its own, and a
// driver asks whether it is already inside a call of its own once per tag, thousands of times
// per client call. TlsGetValue reads the thread's own block. For values that fit a pointer; a
// thread that never set one reads zero (or null). A slot lives as long as the process: threads
// may still read it while static objects are destroyed.
#pragma once

#include <windows.h>
#include <cstdint>
#include <type_traits>

template <class T>
class ThreadSlot {
  public:
    ThreadSlot() noexcept : index_(TlsAlloc()) {}
    ~ThreadSlot() = default;
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    T Get() const noexcept {
        if (index_ == TLS_OUT_OF_INDEXES) return fallback_;
        // TlsGetValue clears the last error, which a caller may be about to read.
        const DWORD error = GetLastError();
        const auto bits = reinterpret_cast<uintptr_t>(TlsGetValue(index_));
        SetLastError(error);
        return FromBits(bits);
    }
    void Set(T value) noexcept {
        if (index_ == TLS_OUT_OF_INDEXES)
            fallback_ = value;
        else
            TlsSetValue(index_, reinterpret_cast<void*>(ToBits(value)));
    }

  private:
    static uintptr_t ToBits(T value) noexcept {
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<uintptr_t>(value);
        else
            return static_cast<uintptr_t>(value);
    }
    static T FromBits(uintptr_t bits) noexcept {
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<T>(bits);
        else
            return static_cast<T>(bits);
    }

    const DWORD index_;
    // Only when the process has no TLS slot left.
    inline static thread_local T fallback_{};
};
