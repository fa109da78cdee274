// A device's tags as a CSV table, for engineers who keep tag lists in spreadsheets: written
// with a byte order mark so that Excel reads the UTF-8, read with the dialogs' own checks,
// each refused row reported with its line and why.
//
// Columns (header row, any order, case ignored; only name, address and type are required):
// name (a dotted path below the device: "Analog.Temperature" is tag Temperature in folder
// Analog), description, table (coils, discrete_inputs, input_registers, holding_registers),
// address (zero-based; with the table cell empty, the engineers' notation such as 40001),
// type, string_registers, word_order (high_first, low_first), byte_swap, scaling (yes/no)
// with raw_low, raw_high, eu_low, eu_high, range_low and range_high (both or neither), units,
// read_only (follows from the table: written for the reader, checked when read).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "modbus_model.h"

namespace modbus {

struct TagRow {
    size_t line = 0;
    std::vector<std::string> folders;  // below the device, outermost first
    ObjectSettings settings;
};

struct TagImport {
    std::vector<TagRow> good;
    std::vector<std::wstring> refused;  // "Строка N: why", in file order
};

// The device's tags (folders as dotted names), header first, UTF-8 with a byte order mark.
std::string WriteTagCsv(const Model& model, DWORD device);

// Every row checked against the device as it stands and against the rows before it.
TagImport ReadTagCsv(const Model& model, DWORD device, std::string_view text);

// The refusals one per line, at most `lines` of them and a count of the rest.
std::wstring RefusalText(const TagImport& import, size_t lines);

// The largest tag list read.
constexpr size_t kMaxCsvBytes = 32u << 20;

// Adds the rows' tags, creating folders as needed; the number of tags added.
size_t AddTagRows(Model& model, DWORD device, const std::vector<TagRow>& rows);

}  // namespace modbus
