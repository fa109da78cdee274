#include "rtu_frame.h"

namespace modbus {

uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

Bytes RtuFrame(uint8_t unit, const Bytes& pdu) {
    Bytes frame;
    frame.reserve(pdu.size() + 3);
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    const uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

size_t ExpectedAnswerLength(const uint8_t* received, size_t size) {
    if (size < 2) return 0;
    const uint8_t function = received[1];
    if (function & 0x80) return 5;  // unit, function, exception code, CRC
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4:
            return size < 3 ? 0 : 3 + size_t{received[2]} + 2;
        case 5:
        case 6:
        case 15:
        case 16:
            return 8;  // the echo: unit, function, address, value or count, CRC
        default:
            return kUnknownLength;
    }
}

RtuAnswer CheckAnswer(const uint8_t* frame, size_t size, uint8_t unit, uint8_t function,
                      Bytes& pdu) {
    if (size < 5) return RtuAnswer::kBadCrc;
    const uint16_t crc = static_cast<uint16_t>(frame[size - 2] | (frame[size - 1] << 8));
    if (Crc16(frame, size - 2) != crc) return RtuAnswer::kBadCrc;
    if (frame[0] != unit) return RtuAnswer::kForeignUnit;
    if ((frame[1] & 0x7F) != function) return RtuAnswer::kForeignFunction;
    pdu.assign(frame + 1, frame + size - 2);
    return RtuAnswer::kOk;
}

unsigned CharacterBits(const DeviceSettings& line) {
    return 1u + line.dataBits + (line.parity == Parity::kNone ? 0u : 1u) + line.stopBits;
}

unsigned SilenceMicros(uint32_t baud, unsigned characterBits) {
    if (baud == 0) return 0;
    if (baud > 19200) return 1750;
    // 3.5 characters, rounded up to the next microsecond.
    const uint64_t scaled = uint64_t{7} * characterBits * 1000000;
    return static_cast<unsigned>((scaled + 2 * uint64_t{baud} - 1) / (2 * uint64_t{baud}));
}

}  // namespace modbus
