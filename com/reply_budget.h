// The most one answer of the server may weigh: the out-arrays of one call or the arrays of one
// callback, with the strings and arrays their values carry.
//
// A few bytes of request can ask for gigabytes of answer: ten thousand handles that all name an
// item holding a string of a hundred thousand characters, or twenty thousand property
// identifiers for an item whose name is that long. Built and marshaled, such an answer takes
// the process's memory (and the RPC layer fails it anyway). A call whose answer would grow past
// the budget fails with E_OUTOFMEMORY instead, as OPC allows any call to; an update cycle sends
// its values in several callbacks.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <new>

constexpr size_t kMaxReplyBytes = size_t{64} << 20;

// The bytes `v` occupies on the wire, near enough: its fixed part, a string's characters, an
// array's elements (each element's own strings and arrays counted too).
size_t VariantWireBytes(const VARIANT& v) noexcept;

class ReplyBudget {
  public:
    explicit ReplyBudget(size_t limit = kMaxReplyBytes) noexcept : left_(limit) {}

    // False, and nothing taken, when `bytes` do not fit any more.
    bool TrySpend(size_t bytes) noexcept {
        if (bytes > left_) return false;
        left_ -= bytes;
        return true;
    }
    // Throws std::bad_alloc when `bytes` do not fit: the call then answers E_OUTOFMEMORY.
    void Spend(size_t bytes) {
        if (!TrySpend(bytes)) throw std::bad_alloc();
    }
    void SpendString(const wchar_t* s) { Spend(sizeof(DWORD) + (s ? wcslen(s) : 0) * 2); }
    void SpendValue(const VARIANT& v) { Spend(VariantWireBytes(v)); }

  private:
    size_t left_;
};
