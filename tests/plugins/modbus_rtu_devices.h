// The tests' hold on the Modbus RTU devices (scripts/modbus_rtu_device.py, started by CTest):
// their COM ports and gateway ports, and the control port that sets their memory and tells the
// misbehaving device how to answer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "modbus_device_control.h"
#include "modbus_tree.h"

class RtuDevices {
  public:
    RtuDevices() {
        const std::vector<unsigned> s =
            ReadDeviceState("MODBUS_RTU_DEVICE_STATE", "modbus_rtu_device.state");
        if (s.size() < 7) return;
        line = "COM" + std::to_string(s[0]);
        fake = "COM" + std::to_string(s[1]);
        secondLine = "COM" + std::to_string(s[6]);
        rtuTcpPort = static_cast<uint16_t>(s[2]);
        gatewayPort = static_cast<uint16_t>(s[3]);
        control_ = std::make_unique<ControlPort>(s[4]);
    }
    bool Ok() const { return control_ && control_->Ok(); }
    bool Set(int unit, uint16_t address, uint16_t value) {
        return Ask("set " + std::to_string(unit) + " h " + std::to_string(address) + " " +
                   std::to_string(value)) == "ok";
    }
    bool Mode(const char* mode) { return Ask(std::string("mode ") + mode) == "ok"; }
    bool Baud(uint32_t baud) { return Ask("baud " + std::to_string(baud)) == "ok"; }
    std::vector<unsigned> Get(int unit, uint16_t address, uint16_t count) {
        std::vector<unsigned> values;
        std::string answer = Ask("get " + std::to_string(unit) + " h " + std::to_string(address) +
                                 " " + std::to_string(count));
        size_t at = 0;
        while (at < answer.size()) {
            values.push_back(static_cast<unsigned>(std::stoul(answer.substr(at))));
            at = answer.find(' ', at);
            if (at == std::string::npos) break;
            ++at;
        }
        return values;
    }
    std::string Ask(const std::string& line) { return control_ ? control_->Ask(line) : ""; }

    std::string line, fake, secondLine;  // the second line is the chain tests'

    uint16_t rtuTcpPort = 0, gatewayPort = 0;

  private:
    std::unique_ptr<ControlPort> control_;
};

// A device reached by `transport`: the COM port `port` (at 115200 baud) or 127.0.0.1:`tcpPort`;
// polled every 50 ms, 300 ms for an answer, one retry.
inline modbus::ObjectSettings OnRtuLink(const char* name, modbus::Transport transport,
                                        const std::string& port, uint16_t tcpPort, uint8_t unit) {
    modbus::ObjectSettings s = modbus_tree::Device(name, tcpPort, 50, 300, 1);
    s.device.transport = transport;
    s.device.portName = port;
    s.device.baud = 115200;
    // Linux pseudo-terminals refuse parity (tcsetattr fails, and so does SetCommState): no
    // parity and two stop bits, the other format the protocol allows.
    s.device.parity = modbus::Parity::kNone;
    s.device.stopBits = 2;
    s.device.unit = unit;
    return s;
}
