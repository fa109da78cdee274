// A way to a device's Modbus server that a poll worker asks one request at a time: a Modbus
// TCP connection, or an RTU master on a serial line or a gateway's socket. Several devices
// (unit ids) may sit behind one link; the link pool hands them the same one and the caller
// holds its lock around every request, so a line or a gateway sees one request at a time.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <algorithm>
#include <cstdint>

#include "modbus_pdu.h"

namespace modbus {

enum class LinkStatus {
    kOk,
    kTimeout,      // no answer within the time-out
    kUnreachable,  // no connection (refused, unknown host, no such port, or in its back-off)
    kBroken,       // the other end closed it, or the request could not be sent
    kBadFrame,     // no sound frame: a broken TCP header, an RTU answer with a wrong CRC, unit
                   // or function, or one cut short; no answer
};

class Link {
  public:
    virtual ~Link() = default;
    // Sends `request` (a PDU) to `unit` and waits at most `timeoutMs` for its answer's PDU
    // (an exception response is an answer too).
    virtual LinkStatus Transact(uint8_t unit, const Bytes& request, Bytes& answer,
                                DWORD timeoutMs) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

// A link that cannot be opened is tried again after a pause that doubles from 1 s to 30 s
// while the device stays away, so a device that is down costs its poll no more than one
// quick refusal.
class Backoff {
  public:
    static constexpr DWORD kFirstMs = 1000;
    static constexpr DWORD kLongestMs = 30000;
    bool Waiting() const { return GetTickCount64() < retryAfter_; }
    void Failed() {
        pauseMs_ = pauseMs_ ? std::min(pauseMs_ * 2, kLongestMs) : kFirstMs;
        retryAfter_ = GetTickCount64() + pauseMs_;
    }
    void Succeeded() { pauseMs_ = 0; }

  private:
    DWORD pauseMs_ = 0;         // 0: try at once
    ULONGLONG retryAfter_ = 0;  // GetTickCount64 before which nothing is tried
};

}  // namespace modbus
