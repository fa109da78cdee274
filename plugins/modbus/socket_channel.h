// A TCP socket to a serial-to-Ethernet gateway as the RTU master's channel.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <string>

#include "byte_channel.h"

namespace modbus {

class SocketChannel : public ByteChannel {
  public:
    SocketChannel(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
    ~SocketChannel() override { Close(); }
    SocketChannel(const SocketChannel&) = delete;
    SocketChannel& operator=(const SocketChannel&) = delete;

    bool Open(DWORD timeoutMs) override;
    void Close() override;
    bool IsOpen() const override { return socket_ != INVALID_SOCKET; }
    bool Send(const Bytes& bytes, DWORD timeoutMs) override;
    int Receive(uint8_t* buffer, size_t size, DWORD waitMs) override;
    void Discard() override;

  private:
    std::string host_;
    uint16_t port_;
    SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace modbus
