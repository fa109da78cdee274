// One Modbus TCP connection to a device: a request and its answer at a time, each within the
// device's response time-out, however the answer's bytes arrive. A connection that fails is
// closed and opened again on a later request, after a back-off that doubles from 1 s to 30 s
// while the device stays away, so a device that is down costs its poll no more than one
// quick refusal. Used by one thread at a time (the device's poll worker).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <string>

#include "link_book.h"
#include "modbus_pdu.h"

namespace modbus {

class Connection {
  public:
    enum class Status {
        kOk,
        kTimeout,      // no answer within the time-out: the connection is closed
        kUnreachable,  // no connection (refused, unknown host, or in its back-off)
        kBroken,       // the device closed it or sent what is not Modbus TCP
    };

    Connection(std::string host, uint16_t port, uint8_t unit, DWORD timeoutMs,
               LinkRecorder record = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends `request` (a PDU) and waits for the answer with its transaction id; `answer` is
    // its PDU (an exception response is an answer too).
    Status Transact(const Bytes& request, Bytes& answer);
    void Close();
    bool IsOpen() const { return socket_ != INVALID_SOCKET; }

    static constexpr DWORD kFirstBackoffMs = 1000;
    static constexpr DWORD kLongestBackoffMs = 30000;

  private:
    Status Open();
    Status Fail(Status status);
    void Answered(const Bytes& answer, ULONGLONG sentAt);

    std::string host_;
    uint16_t port_;
    uint8_t unit_;
    DWORD timeoutMs_;
    SOCKET socket_ = INVALID_SOCKET;
    FrameReader reader_;
    uint16_t transaction_ = 0;
    DWORD backoffMs_ = 0;       // 0: try at once
    ULONGLONG retryAfter_ = 0;  // GetTickCount64 before which no connection is tried
    LinkRecorder record_;
    bool everOpened_ = false;  // a later opening is a reconnection
};

}  // namespace modbus
