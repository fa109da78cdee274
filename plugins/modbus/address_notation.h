// The notation engineers use for Modbus addresses: the table's digit (0 coils, 1 discrete
// inputs, 3 input registers, 4 holding registers) before the 1-based address in four digits
// ("40001" is holding register 0), in five past 9999 ("465536" is holding register 65535).
// The five-digit form is read for any address ("400001" too).
#pragma once

#include <cstdint>
#include <string>

#include "modbus_pdu.h"

namespace modbus {

std::string EngineerAddress(Table table, uint16_t address);
// False, and nothing set, for a text that is not such an address.
bool ParseEngineerAddress(const std::string& text, Table& table, uint16_t& address);

}  // namespace modbus
