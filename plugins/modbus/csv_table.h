// Comma-separated tables as spreadsheets write them: UTF-8 with or without a byte order mark,
// a comma or (as Russian Excel writes) a semicolon between fields, whichever the header row
// uses, fields in double quotes when they hold a separator, a quote ("" inside) or a line
// break, CRLF or LF line ends. Empty lines are passed over.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace modbus {

struct CsvRow {
    size_t line = 0;  // of the file, from 1, where the row starts
    std::vector<std::string> fields;
};

// The rows, header first; false with `error` (Russian, with the line) for text that is not
// UTF-8 or a quote left open.
bool ParseCsv(std::string_view text, std::vector<CsvRow>& rows, std::wstring& error);

// One row with `separator`, quoted where needed, ended by CRLF (what Excel writes).
std::string CsvLine(const std::vector<std::string>& fields, char separator = ',');

// The files' text and the program's.
std::wstring FromUtf8(std::string_view text);
std::string ToUtf8(const std::wstring& wide);

// The byte order mark without which Excel reads UTF-8 as the ANSI code page.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace modbus
