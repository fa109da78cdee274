// The bytes under an RTU master: a serial port, or a socket to a gateway that passes RTU frames
// on as they are. The master does the framing; a channel only moves bytes and can throw away
// what arrived unasked.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <cstddef>
#include <cstdint>

#include "modbus_pdu.h"

namespace modbus {

class ByteChannel {
  public:
    virtual ~ByteChannel() = default;
    virtual bool Open(DWORD timeoutMs) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual bool Send(const Bytes& bytes, DWORD timeoutMs) = 0;
    // Up to `size` bytes, waiting at most `waitMs` for the first: how many came, 0 for none in
    // time, -1 when the channel failed.
    virtual int Receive(uint8_t* buffer, size_t size, DWORD waitMs) = 0;
    // Drops what came in before the request, so a late answer to an earlier one is not taken
    // for the answer to the next.
    virtual void Discard() = 0;
};

}  // namespace modbus
