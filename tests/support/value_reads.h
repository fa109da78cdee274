// The answer of a DA 3.0 read (IOPCSyncIO2::ReadMaxAge, IOPCItemIO::Read), taken over from its
// four arrays so that a test can look at it after the arrays are freed.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <vector>

#include "variant.h"

struct ValueReads {
    HRESULT hr = E_FAIL;
    std::vector<Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> timestamps;
    std::vector<HRESULT> errors;
    double R8(size_t i) const { return V_R8(values[i].Get()); }
};

// Copies the `n` entries of a successful call (a failed one must have left every array null)
// and frees the arrays.
inline ValueReads TakeValueReads(HRESULT hr, DWORD n, VARIANT* values, WORD* qualities,
                                 FILETIME* timestamps, HRESULT* errors) {
    ValueReads r;
    r.hr = hr;
    if (SUCCEEDED(hr)) {
        for (DWORD i = 0; i < n; ++i) {
            r.values.emplace_back(values[i]);
            VariantClear(&values[i]);
        }
        r.qualities.assign(qualities, qualities + n);
        r.timestamps.assign(timestamps, timestamps + n);
        r.errors.assign(errors, errors + n);
    } else {
        EXPECT_EQ(nullptr, values);
        EXPECT_EQ(nullptr, qualities);
        EXPECT_EQ(nullptr, timestamps);
        EXPECT_EQ(nullptr, errors);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(timestamps);
    CoTaskMemFree(errors);
    return r;
}
