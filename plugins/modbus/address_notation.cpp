#include "address_notation.h"

#include <cstdio>

namespace modbus {

namespace {

char TableDigit(Table table) {
    switch (table) {
        case Table::kCoil:
            return '0';
        case Table::kDiscreteInput:
            return '1';
        case Table::kInputRegister:
            return '3';
        case Table::kHoldingRegister:
            return '4';
    }
    return '?';
}

}  // namespace

std::string EngineerAddress(Table table, uint16_t address) {
    char number[8];
    const unsigned oneBased = static_cast<unsigned>(address) + 1;
    std::snprintf(number, sizeof(number), oneBased <= 9999 ? "%04u" : "%05u", oneBased);
    return std::string(1, TableDigit(table)) + number;
}

bool ParseEngineerAddress(const std::string& text, Table& table, uint16_t& address) {
    if (text.size() != 5 && text.size() != 6) return false;
    Table t;
    switch (text[0]) {
        case '0':
            t = Table::kCoil;
            break;
        case '1':
            t = Table::kDiscreteInput;
            break;
        case '3':
            t = Table::kInputRegister;
            break;
        case '4':
            t = Table::kHoldingRegister;
            break;
        default:
            return false;
    }
    unsigned long number = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (number < 1 || number > 65536) return false;
    table = t;
    address = static_cast<uint16_t>(number - 1);
    return true;
}

}  // namespace modbus
