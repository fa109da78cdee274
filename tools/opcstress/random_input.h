// Random input for the stress client: strings and values of every shape a careless or
// hostile client sends, handles valid, stale or made up, counts of every size.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <random>
#include <string>
#include <vector>

#include "variant.h"

class RandomInput {
  public:
    explicit RandomInput(unsigned seed) : random_(seed) {}

    unsigned Below(unsigned n) {
        return n ? std::uniform_int_distribution<unsigned>(0, n - 1)(random_) : 0;
    }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    DWORD Any32() { return random_(); }

    // Empty, short, Cyrillic, with dots, very long (100,000 characters).
    std::wstring Text();
    // An item identifier: a good one of `known`, a near miss, or anything.
    std::wstring ItemId(const std::vector<std::wstring>& known);
    // A BSTR (freed by the caller's Variant) that may hold embedded nulls.
    BSTR Bstr();
    // A value of any VARTYPE the wire carries: scalars, BSTRs, arrays, VT_BYREF pointing at
    // `byrefStore`, VT_EMPTY, VT_NULL, VT_ERROR.
    Variant Value(VARIANT& byrefStore);
    VARTYPE Type();
    // One of `known`, a removed one, 0, all bits set, or anything.
    DWORD Handle(const std::vector<DWORD>& known, const std::vector<DWORD>& stale);
    GUID Iid(const std::vector<GUID>& known);

  private:
    std::mt19937 random_;
};
