// What an engineer sets for a device and for a tag of the Modbus TCP driver, and the checks
// its add and edit dialogs make before anything is changed: a host name or address, a port, a
// unit id, time limits, and a tag whose table, address and type fit together. A refused
// setting is explained in one Russian sentence, shown as it stands.
#pragma once

#include <cstdint>
#include <string>

#include "modbus_pdu.h"
#include "value_codec.h"

namespace modbus {

struct DeviceSettings {
    std::string name;
    std::string host = "127.0.0.1";
    uint16_t port = 502;
    uint8_t unit = 1;
    uint32_t pollMs = 1000;
    uint32_t timeoutMs = 1000;
    uint8_t retries = 2;
};

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
