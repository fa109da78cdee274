#include "modbus_pdu.h"

#include <algorithm>

namespace modbus {

namespace {

void Put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

Answer Malformed() {
    return Answer{};
}

// An exception response: the function code with its high bit set, then the code.
bool IsException(const Bytes& pdu, uint8_t function, Answer& answer) {
    if (pdu.size() == 2 && pdu[0] == (function | 0x80)) {
        answer.kind = Answer::Kind::kException;
        answer.exception = pdu[1];
        return true;
    }
    return false;
}

}  // namespace

bool IsBitTable(Table table) {
    return table == Table::kCoil || table == Table::kDiscreteInput;
}

bool IsWritable(Table table) {
    return table == Table::kCoil || table == Table::kHoldingRegister;
}

uint8_t ReadFunction(Table table) {
    switch (table) {
        case Table::kCoil:
            return 1;
        case Table::kDiscreteInput:
            return 2;
        case Table::kHoldingRegister:
            return 3;
        case Table::kInputRegister:
            return 4;
    }
    return 0;
}

Bytes ReadRequest(Table table, uint16_t address, uint16_t count) {
    Bytes pdu{ReadFunction(table)};
    Put16(pdu, address);
    Put16(pdu, count);
    return pdu;
}

Bytes WriteCoilRequest(uint16_t address, bool on) {
    Bytes pdu{5};
    Put16(pdu, address);
    Put16(pdu, on ? 0xFF00 : 0x0000);
    return pdu;
}

Bytes WriteRegisterRequest(uint16_t address, uint16_t value) {
    Bytes pdu{6};
    Put16(pdu, address);
    Put16(pdu, value);
    return pdu;
}

Bytes WriteCoilsRequest(uint16_t address, const std::vector<bool>& values) {
    Bytes pdu{15};
    Put16(pdu, address);
    Put16(pdu, static_cast<uint16_t>(values.size()));
    const size_t bytes = (values.size() + 7) / 8;
    pdu.push_back(static_cast<uint8_t>(bytes));
    pdu.resize(pdu.size() + bytes, 0);
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i]) pdu[6 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return pdu;
}

Bytes WriteRegistersRequest(uint16_t address, const std::vector<uint16_t>& values) {
    Bytes pdu{16};
    Put16(pdu, address);
    Put16(pdu, static_cast<uint16_t>(values.size()));
    pdu.push_back(static_cast<uint8_t>(values.size() * 2));
    for (uint16_t v : values) Put16(pdu, v);
    return pdu;
}

Bytes Frame(uint16_t transaction, uint8_t unit, const Bytes& pdu) {
    Bytes frame;
    frame.reserve(kHeaderBytes + pdu.size());
    Put16(frame, transaction);
    Put16(frame, 0);  // the Modbus protocol
    Put16(frame, static_cast<uint16_t>(pdu.size() + 1));
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

void FrameReader::Append(const uint8_t* data, size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
}

FrameReader::Result FrameReader::Take(Adu& out) {
    if (buffer_.size() < kHeaderBytes) return Result::kNeedMore;
    const uint8_t header[kHeaderBytes] = {buffer_[0], buffer_[1], buffer_[2], buffer_[3],
                                          buffer_[4], buffer_[5], buffer_[6]};
    const uint16_t protocol = Get16(header + 2);
    const uint16_t length = Get16(header + 4);  // unit id and PDU
    if (protocol != 0 || length < 2 || length > kMaxPduBytes + 1) return Result::kCorrupt;
    if (buffer_.size() < kHeaderBytes - 1 + length) return Result::kNeedMore;
    out.transaction = Get16(header);
    out.unit = header[6];
    out.pdu.assign(buffer_.begin() + kHeaderBytes, buffer_.begin() + kHeaderBytes - 1 + length);
    buffer_.erase(buffer_.begin(), buffer_.begin() + kHeaderBytes - 1 + length);
    return Result::kFrame;
}

Answer ParseReadAnswer(const Bytes& pdu, Table table, uint16_t count) {
    Answer answer;
    const uint8_t function = ReadFunction(table);
    if (IsException(pdu, function, answer)) return answer;
    if (pdu.size() < 2 || pdu[0] != function || pdu[1] != pdu.size() - 2) return Malformed();
    const uint8_t* data = pdu.data() + 2;
    if (IsBitTable(table)) {
        if (pdu[1] != (count + 7) / 8) return Malformed();
        answer.bits.resize(count);
        for (uint16_t i = 0; i < count; ++i) answer.bits[i] = (data[i / 8] >> (i % 8)) & 1;
    } else {
        if (pdu[1] != count * 2) return Malformed();
        answer.registers.resize(count);
        for (uint16_t i = 0; i < count; ++i) answer.registers[i] = Get16(data + 2 * i);
    }
    answer.kind = Answer::Kind::kOk;
    return answer;
}

Answer ParseWriteAnswer(const Bytes& pdu, const Bytes& request) {
    Answer answer;
    if (request.empty()) return Malformed();
    if (IsException(pdu, request[0], answer)) return answer;
    // 5 and 6 echo the request; 15 and 16 echo its address and count.
    const size_t echoed = request[0] == 5 || request[0] == 6 ? request.size() : 5;
    if (pdu.size() != 5 || request.size() < echoed ||
        !std::equal(pdu.begin(), pdu.end(), request.begin()))
        return Malformed();
    answer.kind = Answer::Kind::kOk;
    return answer;
}

}  // namespace modbus
