#include "value_codec.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace modbus {

namespace {

uint16_t Swapped(uint16_t r) {
    return static_cast<uint16_t>((r << 8) | (r >> 8));
}

// The registers as the protocol orders them: high word first, high byte first.
std::vector<uint16_t> Canonical(const Encoding& e, const uint16_t* registers, size_t count) {
    std::vector<uint16_t> words(registers, registers + count);
    if (e.swapBytes)
        for (uint16_t& w : words) w = Swapped(w);
    if (e.lowWordFirst && e.type != DataType::kString)
        std::vector<uint16_t>(words.rbegin(), words.rend()).swap(words);
    return words;
}

std::vector<uint16_t> FromCanonical(const Encoding& e, std::vector<uint16_t> words) {
    if (e.lowWordFirst && e.type != DataType::kString)
        std::vector<uint16_t>(words.rbegin(), words.rend()).swap(words);
    if (e.swapBytes)
        for (uint16_t& w : words) w = Swapped(w);
    return words;
}

uint64_t Join(const std::vector<uint16_t>& words) {
    uint64_t v = 0;
    for (uint16_t w : words) v = (v << 16) | w;
    return v;
}

std::vector<uint16_t> Split(uint64_t v, size_t count) {
    std::vector<uint16_t> words(count);
    for (size_t i = count; i-- > 0; v >>= 16) words[i] = static_cast<uint16_t>(v & 0xFFFF);
    return words;
}

bool Scaled(const Encoding& e) {
    return e.scaling.enabled && e.type != DataType::kBool && e.type != DataType::kString &&
           e.scaling.rawHigh != e.scaling.rawLow;
}

double ToEngineering(const Scaling& s, double raw) {
    return s.euLow + (raw - s.rawLow) * (s.euHigh - s.euLow) / (s.rawHigh - s.rawLow);
}

double ToRaw(const Scaling& s, double eu) {
    return s.rawLow + (eu - s.euLow) * (s.rawHigh - s.rawLow) / (s.euHigh - s.euLow);
}

template <class T>
T Bits(uint64_t v) {
    T out;
    std::memcpy(&out, &v, sizeof(T));
    return out;
}

// The raw number the registers hold, as a double (exact for every integer type).
double RawNumber(DataType type, uint64_t v) {
    switch (type) {
        case DataType::kInt16:
            return static_cast<int16_t>(v);
        case DataType::kUInt16:
            return static_cast<uint16_t>(v);
        case DataType::kInt32:
            return static_cast<int32_t>(v);
        case DataType::kUInt32:
            return static_cast<uint32_t>(v);
        case DataType::kFloat32:
            return Bits<float>(static_cast<uint32_t>(v));
        case DataType::kFloat64:
            return Bits<double>(v);
        default:
            return 0;
    }
}

// A raw number into the type's bits; false when it does not fit.
bool RawBits(DataType type, double raw, uint64_t& v) {
    auto fits = [&](double low, double high) {
        return !std::isnan(raw) && raw >= low && raw <= high;
    };
    switch (type) {
        case DataType::kInt16:
            if (!fits(-32768, 32767)) return false;
            v = static_cast<uint16_t>(static_cast<int16_t>(std::lround(raw)));
            return true;
        case DataType::kUInt16:
            if (!fits(0, 65535)) return false;
            v = static_cast<uint16_t>(std::lround(raw));
            return true;
        case DataType::kInt32:
            if (!fits(-2147483648.0, 2147483647.0)) return false;
            v = static_cast<uint32_t>(static_cast<int32_t>(std::llround(raw)));
            return true;
        case DataType::kUInt32:
            if (!fits(0, 4294967295.0)) return false;
            v = static_cast<uint32_t>(std::llround(raw));
            return true;
        case DataType::kFloat32: {
            if (std::isfinite(raw) && std::fabs(raw) > std::numeric_limits<float>::max())
                return false;
            const float f = static_cast<float>(raw);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            v = bits;
            return true;
        }
        case DataType::kFloat64:
            std::memcpy(&v, &raw, 8);
            return true;
        default:
            return false;
    }
}

}  // namespace

uint16_t RegisterCount(const Encoding& e) {
    switch (e.type) {
        case DataType::kBool:
        case DataType::kInt16:
        case DataType::kUInt16:
            return 1;
        case DataType::kInt32:
        case DataType::kUInt32:
        case DataType::kFloat32:
            return 2;
        case DataType::kFloat64:
            return 4;
        case DataType::kString:
            return e.stringRegisters;
    }
    return 1;
}

VARTYPE ValueType(const Encoding& e) {
    if (Scaled(e)) return VT_R8;
    switch (e.type) {
        case DataType::kBool:
            return VT_BOOL;
        case DataType::kInt16:
            return VT_I2;
        case DataType::kUInt16:
            return VT_UI2;
        case DataType::kInt32:
            return VT_I4;
        case DataType::kUInt32:
            return VT_UI4;
        case DataType::kFloat32:
            return VT_R4;
        case DataType::kFloat64:
            return VT_R8;
        case DataType::kString:
            return VT_BSTR;
    }
    return VT_EMPTY;
}

bool DecodeBit(bool bit, VARIANT* out) {
    VariantClear(out);
    V_VT(out) = VT_BOOL;
    V_BOOL(out) = bit ? VARIANT_TRUE : VARIANT_FALSE;
    return true;
}

bool DecodeRegisters(const Encoding& e, const uint16_t* registers, size_t count, VARIANT* out) {
    const uint16_t needed = RegisterCount(e);
    if (!registers || count < needed || needed == 0) return false;
    const std::vector<uint16_t> words = Canonical(e, registers, needed);
    VariantClear(out);
    if (e.type == DataType::kBool) return DecodeBit(words[0] != 0, out);
    if (e.type == DataType::kString) {
        std::string text;
        for (uint16_t w : words) {
            text.push_back(static_cast<char>(w >> 8));
            text.push_back(static_cast<char>(w & 0xFF));
        }
        text.resize(strnlen(text.c_str(), text.size()));  // up to the first NUL
        const int wide =
            MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
        if (!s) return false;
        MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), s, wide);
        V_VT(out) = VT_BSTR;
        V_BSTR(out) = s;
        return true;
    }
    const double raw = RawNumber(e.type, Join(words));
    if (Scaled(e)) {
        V_VT(out) = VT_R8;
        V_R8(out) = ToEngineering(e.scaling, raw);
        return true;
    }
    const uint64_t v = Join(words);
    switch (e.type) {
        case DataType::kInt16:
            V_VT(out) = VT_I2;
            V_I2(out) = static_cast<int16_t>(v);
            break;
        case DataType::kUInt16:
            V_VT(out) = VT_UI2;
            V_UI2(out) = static_cast<uint16_t>(v);
            break;
        case DataType::kInt32:
            V_VT(out) = VT_I4;
            V_I4(out) = static_cast<int32_t>(v);
            break;
        case DataType::kUInt32:
            V_VT(out) = VT_UI4;
            V_UI4(out) = static_cast<uint32_t>(v);
            break;
        case DataType::kFloat32:
            V_VT(out) = VT_R4;
            V_R4(out) = Bits<float>(static_cast<uint32_t>(v));
            break;
        default:
            V_VT(out) = VT_R8;
            V_R8(out) = Bits<double>(v);
            break;
    }
    return true;
}

HRESULT EncodeBit(const VARIANT& value, bool& out) {
    VARIANT b;
    VariantInit(&b);
    const HRESULT hr = VariantChangeType(&b, const_cast<VARIANT*>(&value), 0, VT_BOOL);
    if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
    out = V_BOOL(&b) != VARIANT_FALSE;
    return S_OK;
}

HRESULT EncodeRegisters(const Encoding& e, const VARIANT& value, std::vector<uint16_t>& out) {
    const uint16_t count = RegisterCount(e);
    if (count == 0) return DISP_E_OVERFLOW;
    if (e.type == DataType::kBool) {
        bool bit = false;
        const HRESULT hr = EncodeBit(value, bit);
        if (FAILED(hr)) return hr;
        out = FromCanonical(e, {static_cast<uint16_t>(bit ? 1 : 0)});
        return S_OK;
    }
    if (e.type == DataType::kString) {
        VARIANT s;
        VariantInit(&s);
        if (FAILED(VariantChangeType(&s, const_cast<VARIANT*>(&value), 0, VT_BSTR)))
            return DISP_E_TYPEMISMATCH;
        const UINT length = SysStringLen(V_BSTR(&s));
        std::string text(static_cast<size_t>(length) * 2, '\0');
        const int bytes =
            WideCharToMultiByte(1251, 0, V_BSTR(&s), static_cast<int>(length), text.data(),
                                static_cast<int>(text.size()), nullptr, nullptr);
        VariantClear(&s);
        text.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
        if (text.size() > size_t{count} * 2) return DISP_E_OVERFLOW;
        text.resize(size_t{count} * 2, '\0');
        std::vector<uint16_t> words(count);
        for (uint16_t i = 0; i < count; ++i)
            words[i] = static_cast<uint16_t>((static_cast<uint8_t>(text[2 * i]) << 8) |
                                             static_cast<uint8_t>(text[2 * i + 1]));
        out = FromCanonical(e, words);
        return S_OK;
    }
    VARIANT d;
    VariantInit(&d);
    const HRESULT hr = VariantChangeType(&d, const_cast<VARIANT*>(&value), 0, VT_R8);
    if (FAILED(hr)) return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
    const double raw = Scaled(e) ? ToRaw(e.scaling, V_R8(&d)) : V_R8(&d);
    uint64_t bits = 0;
    if (!RawBits(e.type, raw, bits)) return DISP_E_OVERFLOW;
    out = FromCanonical(e, Split(bits, count));
    return S_OK;
}

}  // namespace modbus
