// One Modbus TCP connection to a device, or to a gateway with several unit ids behind one
// address: a request and its answer at a time, each within the response time-out, however the
// answer's bytes arrive. A connection that fails is closed and opened again on a later
// request, after the link's back-off. Used by one thread at a time (under the link's lock).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <string>

#include "link.h"
#include "modbus_pdu.h"

namespace modbus {

class Connection : public Link {
  public:
    using Status = LinkStatus;

    Connection(std::string host, uint16_t port, uint8_t unit, DWORD timeoutMs);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends `request` (a PDU) and waits for the answer with its transaction id; `answer` is
    // its PDU (an exception response is an answer too).
    Status Transact(const Bytes& request, Bytes& answer) {
        return Transact(unit_, request, answer, timeoutMs_);
    }
    Status Transact(uint8_t unit, const Bytes& request, Bytes& answer, DWORD timeoutMs) override;
    void Close() override;
    bool IsOpen() const override { return socket_ != INVALID_SOCKET; }

    static constexpr DWORD kFirstBackoffMs = Backoff::kFirstMs;
    static constexpr DWORD kLongestBackoffMs = Backoff::kLongestMs;

  private:
    Status Open(DWORD timeoutMs);
    Status Fail(Status status);

    std::string host_;
    uint16_t port_;
    uint8_t unit_;
    DWORD timeoutMs_;
    SOCKET socket_ = INVALID_SOCKET;
    FrameReader reader_;
    uint16_t transaction_ = 0;
    Backoff backoff_;
};

}  // namespace modbus
