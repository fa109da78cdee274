#include "value_change.h"

#include <cmath>
#include <cstring>

namespace {

bool SameDouble(double a, double b) noexcept {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b;
}

bool SameString(BSTR a, BSTR b) noexcept {
    const UINT n = SysStringByteLen(a);
    if (n != SysStringByteLen(b)) return false;
    return n == 0 || memcmp(a, b, n) == 0;
}

bool SameArray(VARTYPE type, const SAFEARRAY* a, const SAFEARRAY* b) noexcept {
    if (a == b) return true;
    if (!a || !b || a->cDims != b->cDims || a->cbElements != b->cbElements) return false;
    size_t count = 1;
    for (USHORT d = 0; d < a->cDims; ++d) {
        if (a->rgsabound[d].cElements != b->rgsabound[d].cElements ||
            a->rgsabound[d].lLbound != b->rgsabound[d].lLbound)
            return false;
        count *= a->rgsabound[d].cElements;
    }
    if (count == 0) return true;
    if (!a->pvData || !b->pvData) return false;
    switch (type) {
        case VT_BSTR: {
            const BSTR* x = static_cast<const BSTR*>(a->pvData);
            const BSTR* y = static_cast<const BSTR*>(b->pvData);
            for (size_t i = 0; i < count; ++i)
                if (!SameString(x[i], y[i])) return false;
            return true;
        }
        case VT_R4: {
            const float* x = static_cast<const float*>(a->pvData);
            const float* y = static_cast<const float*>(b->pvData);
            for (size_t i = 0; i < count; ++i)
                if (!SameDouble(x[i], y[i])) return false;
            return true;
        }
        case VT_R8: {
            const double* x = static_cast<const double*>(a->pvData);
            const double* y = static_cast<const double*>(b->pvData);
            for (size_t i = 0; i < count; ++i)
                if (!SameDouble(x[i], y[i])) return false;
            return true;
        }
        case VT_VARIANT:
        case VT_UNKNOWN:
        case VT_DISPATCH:
        case VT_RECORD:
            return false;
        default:
            // Plain numbers, dates, currencies, booleans: their bytes are their value.
            return memcmp(a->pvData, b->pvData, count * a->cbElements) == 0;
    }
}

}  // namespace

bool SameValue(const VARIANT& a, const VARIANT& b) noexcept {
    if (V_VT(&a) != V_VT(&b)) return false;
    const VARTYPE type = V_VT(&a);
    if (type & VT_BYREF) return false;
    if (type & VT_ARRAY) return SameArray(type & VT_TYPEMASK, V_ARRAY(&a), V_ARRAY(&b));
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_I1:
        case VT_UI1:
            return V_UI1(&a) == V_UI1(&b);
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return V_UI2(&a) == V_UI2(&b);
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
            return V_UI4(&a) == V_UI4(&b);
        case VT_I8:
        case VT_UI8:
        case VT_CY:
            return V_UI8(&a) == V_UI8(&b);
        case VT_R4:
            return SameDouble(V_R4(&a), V_R4(&b));
        case VT_R8:
            return SameDouble(V_R8(&a), V_R8(&b));
        case VT_DATE:
            return SameDouble(V_DATE(&a), V_DATE(&b));
        case VT_BSTR:
            return SameString(V_BSTR(&a), V_BSTR(&b));
        case VT_DECIMAL: {
            const DECIMAL& x = V_DECIMAL(&a);
            const DECIMAL& y = V_DECIMAL(&b);
            return x.scale == y.scale && x.sign == y.sign && x.Hi32 == y.Hi32 && x.Lo64 == y.Lo64;
        }
        default:
            return false;
    }
}

std::optional<double> NumericValue(const VARIANT& v) noexcept {
    switch (V_VT(&v)) {
        case VT_I1:
            return V_I1(&v);
        case VT_UI1:
            return V_UI1(&v);
        case VT_I2:
            return V_I2(&v);
        case VT_UI2:
            return V_UI2(&v);
        case VT_I4:
        case VT_INT:
            return V_I4(&v);
        case VT_UI4:
        case VT_UINT:
            return V_UI4(&v);
        case VT_I8:
            return static_cast<double>(V_I8(&v));
        case VT_UI8:
            return static_cast<double>(V_UI8(&v));
        case VT_R4:
            return V_R4(&v);
        case VT_R8:
            return V_R8(&v);
        case VT_CY:
            return static_cast<double>(V_CY(&v).int64) / 10000.0;
        case VT_DECIMAL: {
            double d = 0;
            DECIMAL copy = V_DECIMAL(&v);
            if (SUCCEEDED(VarR8FromDec(&copy, &d))) return d;
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

bool MovedBeyondDeadband(const VARIANT& last, const VARIANT& now, float percent, double low,
                         double high) noexcept {
    if (!(percent > 0)) return !SameValue(last, now);
    const std::optional<double> before = NumericValue(last), after = NumericValue(now);
    if (!before || !after) return !SameValue(last, now);
    if (std::isnan(*before) || std::isnan(*after)) return !SameDouble(*before, *after);
    const double threshold = static_cast<double>(percent) / 100.0 * (high - low);
    return std::fabs(*after - *before) > threshold;
}
