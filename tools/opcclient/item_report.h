// The per-item result that read, write and watch show: one row of a table, one JSON object
// of an array, or one line of a stream.
#pragma once

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "json_writer.h"
#include "variant.h"

struct ItemReport {
    std::wstring item;
    Variant value;
    VARTYPE type = VT_EMPTY;
    // Absent where the call gives none (writes, items the server refused).
    std::optional<WORD> quality;
    FILETIME timestamp{};
    HRESULT error = S_OK;
    std::wstring errorText;
};

// "0xC0040008 text", or empty for S_OK.
std::wstring ErrorCell(const ItemReport& report);

// {item, value, type, quality, quality_text, timestamp, error, error_text}
void WriteJsonItem(JsonWriter& json, const ItemReport& report);
// All reports as one JSON array on standard output.
void PrintJsonItems(const std::vector<ItemReport>& reports);
