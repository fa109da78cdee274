// The RTU master of one line (a serial port, or a gateway's socket): one request at a time,
// the line quiet for 3.5 characters before each, and an answer taken only when it is whole
// and its CRC, unit and function code match the request. Whatever else comes back (a wrong
// CRC, another unit's frame, a frame cut short by silence) counts as no answer, never as data.
#pragma once

#include <chrono>
#include <memory>

#include "byte_channel.h"
#include "link.h"

namespace modbus {

class RtuLink : public Link {
  public:
    // `silenceMicros`: the gap that ends a frame at the line's speed.
    RtuLink(std::unique_ptr<ByteChannel> channel, unsigned silenceMicros)
        : channel_(std::move(channel)), silenceMicros_(silenceMicros) {}
    LinkStatus Transact(uint8_t unit, const Bytes& request, Bytes& answer,
                        DWORD timeoutMs) override;
    void Close() override { channel_->Close(); }
    bool IsOpen() const override { return channel_->IsOpen(); }

    // Bytes of one answer may come apart by this much before it counts as cut short: a PC's
    // serial driver and a USB converter hand bytes over in bursts, far coarser than 1.5
    // characters, and a gateway's socket coarser still.
    static constexpr DWORD kGapMs = 50;

  private:
    LinkStatus Fail(LinkStatus status);
    void KeepSilence();

    std::unique_ptr<ByteChannel> channel_;
    unsigned silenceMicros_;
    std::chrono::steady_clock::time_point lastTraffic_{};
    Backoff backoff_;
};

}  // namespace modbus
