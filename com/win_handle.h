// Owning kernel handle (events, threads, mutexes, processes), closed in the destructor.
#pragma once

#include <windows.h>
#include <utility>

class UniqueHandle {
  public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE h) noexcept : h_(Normalise(h)) {}
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    void Reset(HANDLE h = nullptr) noexcept {
        HANDLE old = std::exchange(h_, Normalise(h));
        if (old) CloseHandle(old);
    }
    HANDLE Get() const noexcept { return h_; }
    HANDLE Release() noexcept { return std::exchange(h_, nullptr); }
    explicit operator bool() const noexcept { return h_ != nullptr; }

  private:
    // Some APIs fail with INVALID_HANDLE_VALUE, others with null: hold both as empty.
    static HANDLE Normalise(HANDLE h) noexcept { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
    HANDLE h_ = nullptr;
};
