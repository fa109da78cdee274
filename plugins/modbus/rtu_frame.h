// Modbus RTU frames as they go over a serial line (or through a gateway that passes them as
// they are): the unit id, the PDU and a CRC-16 sent low byte first. A line has no length field
// and no transaction id, so the master knows an answer is complete from its function code and
// byte count alone, and tells frames apart by the silence between them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "modbus_pdu.h"
#include "modbus_settings.h"

namespace modbus {

// CRC-16 of the Modbus kind (polynomial 0xA001 reflected, starting from 0xFFFF).
uint16_t Crc16(const uint8_t* data, size_t size);

Bytes RtuFrame(uint8_t unit, const Bytes& pdu);

// How long the whole answer is, from the bytes of it received so far: 0 while too few have
// come to tell, kUnknownLength for a function code the driver never sends.
constexpr size_t kUnknownLength = static_cast<size_t>(-1);
size_t ExpectedAnswerLength(const uint8_t* received, size_t size);

enum class RtuAnswer { kOk, kBadCrc, kForeignUnit, kForeignFunction };
// Checks a complete answer to a request of `function` sent to `unit`; on kOk `pdu` is its PDU.
RtuAnswer CheckAnswer(const uint8_t* frame, size_t size, uint8_t unit, uint8_t function,
                      Bytes& pdu);

// Bits a character takes on the line: start, data, parity, stop.
unsigned CharacterBits(const DeviceSettings& line);
// The silence that ends a frame: 3.5 characters, and a fixed 1750 us above 19200 baud where
// that would be too short for a receiver to time.
unsigned SilenceMicros(uint32_t baud, unsigned characterBits);

}  // namespace modbus
