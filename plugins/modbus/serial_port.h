// A serial port of this computer as the RTU master's channel: COMn opened as \\.\COMn (the
// only form that reaches ports above COM9, and it works for all), the line's speed and
// character format set with SetCommState, no flow control.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <string>

#include "byte_channel.h"
#include "modbus_settings.h"
#include "win_handle.h"

namespace modbus {

class SerialPort : public ByteChannel {
  public:
    explicit SerialPort(const DeviceSettings& line) : line_(line) {}
    bool Open(DWORD timeoutMs) override;
    void Close() override { port_.Reset(); }
    bool IsOpen() const override { return static_cast<bool>(port_); }
    bool Send(const Bytes& bytes, DWORD timeoutMs) override;
    int Receive(uint8_t* buffer, size_t size, DWORD waitMs) override;
    void Discard() override;

  private:
    bool SetTimeouts(DWORD readMs, DWORD writeMs);

    DeviceSettings line_;
    UniqueHandle port_;
};

}  // namespace modbus
