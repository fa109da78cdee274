// Modbus trees for the tests, built with the driver's own model.
#pragma once

#include <functional>
#include <string>

#include "modbus_model.h"

namespace modbus_tree {

inline modbus::ObjectSettings Device(const char* name, uint16_t port, uint32_t pollMs = 100,
                                     uint32_t timeoutMs = 1000, uint8_t retries = 0) {
    modbus::ObjectSettings s;
    s.kind = modbus::Kind::kDevice;
    s.name = name;
    s.device.host = "127.0.0.1";
    s.device.port = port;
    s.device.pollMs = pollMs;
    s.device.timeoutMs = timeoutMs;
    s.device.retries = retries;
    return s;
}

inline modbus::ObjectSettings Tag(const char* name, modbus::Table table, uint16_t address,
                                  modbus::DataType type = modbus::DataType::kUInt16,
                                  const std::function<void(modbus::Encoding&)>& tweak = nullptr) {
    modbus::ObjectSettings s;
    s.kind = modbus::Kind::kTag;
    s.name = name;
    s.tag.table = table;
    s.tag.address = address;
    s.tag.encoding.type = type;
    if (tweak) tweak(s.tag.encoding);
    return s;
}

inline modbus::ObjectSettings Folder(const char* name) {
    modbus::ObjectSettings s;
    s.kind = modbus::Kind::kFolder;
    s.name = name;
    return s;
}

}  // namespace modbus_tree
