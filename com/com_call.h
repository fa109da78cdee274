// The exception barrier of every COM method and driver call: no C++ exception may cross an
// interface boundary. std::bad_alloc becomes E_OUTOFMEMORY, anything else E_FAIL.
#pragma once

#include <windows.h>
#include <new>

template <class Body>
HRESULT ComCall(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

#define RETURN_IF_FAILED(expr)       \
    do {                             \
        const HRESULT hr_ = (expr);  \
        if (FAILED(hr_)) return hr_; \
    } while (0)

#define RETURN_HR_IF_NULL(hr, ptr)         \
    do {                                   \
        if ((ptr) == nullptr) return (hr); \
    } while (0)
