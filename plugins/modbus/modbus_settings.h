// What an engineer sets for a device and for a tag of the Modbus driver, and the checks its add
// and edit dialogs make before anything is changed: how the device is reached (a host and port,
// or a serial line and its character format), a unit id, time limits, and a tag whose table,
// address and type fit together. A refused
// setting is explained in one Russian sentence, shown as it stands.
#pragma once

#include <cstdint>
#include <string>

#include "modbus_pdu.h"
#include "value_codec.h"

namespace modbus {

// How the driver reaches a device: Modbus TCP (a device, or a gateway with several unit ids
// behind one address), RTU frames through a TCP socket (a serial-to-Ethernet converter that
// passes bytes as they are), or RTU on a serial port of this computer.
enum class Transport : uint8_t { kTcp, kRtuOverTcp, kRtu };
enum class Parity : uint8_t { kNone, kEven, kOdd };

struct DeviceSettings {
    std::string name;
    Transport transport = Transport::kTcp;
    std::string host = "127.0.0.1";  // the TCP kinds
    uint16_t port = 502;
    std::string portName = "COM1";  // the serial kind, and its character format
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    Parity parity = Parity::kEven;
    uint8_t stopBits = 1;
    uint8_t unit = 1;
    uint32_t pollMs = 1000;
    uint32_t timeoutMs = 1000;
    uint8_t retries = 2;
};

// Devices that share one line must agree on its character format.
bool SameLineFormat(const DeviceSettings& a, const DeviceSettings& b);
// The number of a "COMn" name (1 to 256, any case), 0 for anything else.
unsigned ComPortNumber(const std::string& name);

struct TagSettings {
    std::string name;
    std::string description;
    Table table = Table::kHoldingRegister;
    uint16_t address = 0;  // zero-based
    Encoding encoding;
    // What a number measures in, for OPC clients (trends, percent deadbands): a range of the
    // engineer's own, and the units' name; both optional.
    bool ranged = false;
    double rangeLow = 0, rangeHigh = 100;
    std::string units;
};

constexpr uint32_t kMinPollMs = 50, kMaxPollMs = 3600000;
constexpr uint32_t kMinTimeoutMs = 50, kMaxTimeoutMs = 60000;
constexpr uint8_t kMaxRetries = 10;
constexpr uint32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Empty when the settings can be taken; otherwise why not.
std::wstring CheckDevice(const DeviceSettings& device);
std::wstring CheckTag(const TagSettings& tag);

// The registers or bits a tag takes in its table.
uint16_t TagSpan(const TagSettings& tag);

// The range clients see for a tag: its own, or else a scaled tag's span in engineering units
// (low first whichever way the scaling runs). False for a tag that has neither.
bool TagRange(const TagSettings& tag, double& low, double& high);

constexpr size_t kMaxUnitsLength = 32;

}  // namespace modbus
