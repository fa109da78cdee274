// A tag's value in the device's registers or bits and as the server sees it: the data type,
// the order of the words and bytes where it spans registers, and an optional linear scaling
// from raw to engineering units.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <cstdint>
#include <vector>

namespace modbus {

enum class DataType : uint8_t {
    kBool,
    kInt16,
    kUInt16,
    kInt32,
    kUInt32,
    kFloat32,
    kFloat64,
    kString,  // `stringRegisters` registers, two characters (cp1251) each
};

struct Scaling {
    bool enabled = false;
    double rawLow = 0, rawHigh = 1, euLow = 0, euHigh = 1;
};

struct Encoding {
    DataType type = DataType::kUInt16;
    uint16_t stringRegisters = 0;
    // The protocol's own order is the high word first and the high byte first in a register;
    // many devices put the low word first, some swap the bytes.
    bool lowWordFirst = false;
    bool swapBytes = false;
    Scaling scaling;
};

// The registers the value takes (a bool on a register table takes one, nonzero is true).
uint16_t RegisterCount(const Encoding& e);
// The type the server sees: VT_BOOL, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_R4, VT_R8, VT_BSTR;
// VT_R8 for any scaled number.
VARTYPE ValueType(const Encoding& e);

// The value of registers[0 .. RegisterCount) into `out` (VariantClear'ed first). False when
// the registers do not hold a value of the type (too few).
bool DecodeRegisters(const Encoding& e, const uint16_t* registers, size_t count, VARIANT* out);
bool DecodeBit(bool bit, VARIANT* out);

// The registers for `value` (converted to the tag's type first). S_OK, DISP_E_TYPEMISMATCH
// when it does not convert, DISP_E_OVERFLOW when it does not fit the type or the string's
// registers.
HRESULT EncodeRegisters(const Encoding& e, const VARIANT& value, std::vector<uint16_t>& out);
HRESULT EncodeBit(const VARIANT& value, bool& out);

}  // namespace modbus
