// The OPC DA 1.0 data streams ("OPCSTMFORMATDATA", "OPCSTMFORMATDATATIME",
// "OPCSTMFORMATWRITECOMPLETE"): the writer the server uses and the reader for clients and tests.
//
// A stream is a wire format, not a memory image: little-endian, no padding, and the same bytes
// from the 32-bit and the 64-bit build. A value is the 16-byte VARIANT image of a 32-bit
// process (type, three reserved words, eight bytes of data; a DECIMAL fills all sixteen);
// where the data is a pointer (strings, arrays, interfaces, by-reference values) those bytes
// are zero, since they mean nothing to the receiver. A string follows its value as a DWORD
// byte count with the terminating null and the UTF-16 characters; an array follows as its
// 24-byte one-dimension descriptor (with a zero 32-bit data field) and the elements of its
// first dimension, elements that hold pointers given as zeros of their 32-bit size and
// VARIANT elements as their 16-byte images.
#pragma once

#include <windows.h>
#include <cstdint>
#include <vector>

#include "opc.h"
#include "variant.h"

namespace opcstream {

enum class Format { kData, kDataTime };  // OPCSTMFORMATDATA, OPCSTMFORMATDATATIME

constexpr size_t kGroupHeaderSize = 20;
constexpr size_t kValueImageSize = 16;
constexpr size_t kArrayDescriptorSize = 24;
constexpr size_t ItemHeaderSize(Format f) {
    return f == Format::kDataTime ? 20 : 12;
}

struct Item {
    OPCHANDLE client = 0;
    WORD quality = 0;
    FILETIME timestamp{};  // left out of an OPCSTMFORMATDATA stream
    const VARIANT* value = nullptr;
};

// The stream of `items` in order. Throws std::bad_alloc.
std::vector<BYTE> BuildData(Format format, OPCHANDLE group, DWORD transactionId, HRESULT status,
                            const std::vector<Item>& items);
// An OPCSTMFORMATWRITECOMPLETE stream: one client handle and error per item.
std::vector<BYTE> BuildWriteComplete(OPCHANDLE group, DWORD transactionId, HRESULT status,
                                     const std::vector<std::pair<OPCHANDLE, HRESULT>>& items);

struct ReadItem {
    OPCHANDLE client = 0;
    WORD quality = 0;
    FILETIME timestamp{};
    Variant value;
    HRESULT error = S_OK;  // a write-complete stream's
};

struct ReadStream {
    OPCHANDLE group = 0;
    DWORD transactionId = 0;
    HRESULT status = S_OK;
    std::vector<ReadItem> items;
};

// False for a stream that does not hold together (sizes, counts or offsets outside the
// block); `out` is then incomplete. Throws std::bad_alloc.
bool ReadData(Format format, const BYTE* data, size_t size, ReadStream& out);
bool ReadWriteComplete(const BYTE* data, size_t size, ReadStream& out);

}  // namespace opcstream
