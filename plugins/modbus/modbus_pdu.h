// Modbus TCP frames: the requests the driver sends (function codes 1 to 6, 15 and 16) and how
// it reads what a device answers, exception responses included. Everything on the wire is
// big-endian; a frame is the 7-byte MBAP header (transaction id, protocol 0, length, unit id)
// and the PDU (function code and data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace modbus {

enum class Table : uint8_t { kCoil, kDiscreteInput, kInputRegister, kHoldingRegister };

// What one request may carry, as the protocol allows.
constexpr uint16_t kMaxReadBits = 2000;
constexpr uint16_t kMaxReadRegisters = 125;
constexpr uint16_t kMaxWriteBits = 1968;
constexpr uint16_t kMaxWriteRegisters = 123;
constexpr size_t kHeaderBytes = 7;
constexpr size_t kMaxPduBytes = 253;

bool IsBitTable(Table table);
// Coils and holding registers; the other two tables are read-only.
bool IsWritable(Table table);
uint8_t ReadFunction(Table table);  // 1, 2, 4, 3

using Bytes = std::vector<uint8_t>;

Bytes ReadRequest(Table table, uint16_t address, uint16_t count);
Bytes WriteCoilRequest(uint16_t address, bool on);                                   // 5
Bytes WriteRegisterRequest(uint16_t address, uint16_t value);                        // 6
Bytes WriteCoilsRequest(uint16_t address, const std::vector<bool>& values);          // 15
Bytes WriteRegistersRequest(uint16_t address, const std::vector<uint16_t>& values);  // 16

// A whole frame: header and PDU.
Bytes Frame(uint16_t transaction, uint8_t unit, const Bytes& pdu);

struct Adu {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    Bytes pdu;
};

// Cuts the byte stream of a connection into frames, however the bytes arrive (a frame in
// pieces, several in one read). A header that cannot start a frame (another protocol, a
// length out of range) makes the stream unusable: the connection is then closed.
class FrameReader {
  public:
    enum class Result { kNeedMore, kFrame, kCorrupt };
    void Append(const uint8_t* data, size_t size);
    Result Take(Adu& out);
    void Clear() { buffer_.clear(); }

  private:
    std::deque<uint8_t> buffer_;
};

struct Answer {
    enum class Kind { kOk, kException, kMalformed } kind = Kind::kMalformed;
    uint8_t exception = 0;  // the device's exception code (1 illegal function, 2 address...)
    std::vector<uint16_t> registers;
    std::vector<bool> bits;
};

// The answer to ReadRequest(table, address, count).
Answer ParseReadAnswer(const Bytes& pdu, Table table, uint16_t count);
// The answer to a write request: a device confirms by echoing what it wrote.
Answer ParseWriteAnswer(const Bytes& pdu, const Bytes& request);

}  // namespace modbus
