// The tests' hold on the Modbus TCP device (scripts/modbus_device.py, started by CTest
// before the Modbus tests): its ports, and its control port through which a test sets and
// reads the device's memory, counts the read requests it served, and switches it off and on.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The numbers a device script wrote to its state file (build\NAME, or the file the
// environment variable `variable` names); empty when there is none.
std::vector<unsigned> ReadDeviceState(const char* variable, const char* name);

// A line-by-line conversation with a device script's control port.
class ControlPort {
  public:
    explicit ControlPort(unsigned port);
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;
    bool Ok() const { return control_ != INVALID_SOCKET; }
    // The answer's line, "" when the port did not answer.
    std::string Ask(const std::string& line);

  private:
    SOCKET control_ = INVALID_SOCKET;
    std::string pending_;
};

class ModbusDevice {
  public:
    // Reads the ports from the device's state file (build\modbus_device.state, or the file
    // MODBUS_DEVICE_STATE names) and connects to the control port; Ok() tells whether that
    // worked.
    ModbusDevice();
    ~ModbusDevice();
    ModbusDevice(const ModbusDevice&) = delete;
    ModbusDevice& operator=(const ModbusDevice&) = delete;

    bool Ok() const { return control_ && control_->Ok(); }
    uint16_t Port() const { return port_; }
    // Accepts connections and never answers.
    uint16_t SilentPort() const { return silentPort_; }

    // `table` is 'c', 'd', 'i' or 'h'.
    bool Set(char table, uint16_t address, const std::vector<uint16_t>& values);
    std::vector<uint16_t> Get(char table, uint16_t address, uint16_t count);
    int Reads(char table);
    bool ResetCounts();
    bool Down();
    bool Up();

  private:
    std::string Ask(const std::string& line) { return control_ ? control_->Ask(line) : ""; }

    std::unique_ptr<ControlPort> control_;
    uint16_t port_ = 0, silentPort_ = 0;
};
