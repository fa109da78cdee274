#include "csv_table.h"

#include <windows.h>

namespace modbus {

namespace {

// The line on which the first byte that is not UTF-8 lies, or 0.
size_t BadUtf8Line(std::string_view text) {
    if (text.empty()) return 0;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0) > 0)
        return 0;
    // Narrowed line by line: the whole text is rarely wrong, so this is the rare path.
    size_t line = 1, start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view part = text.substr(start, end - start);
        if (!part.empty() && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, part.data(),
                                                 static_cast<int>(part.size()), nullptr, 0) == 0)
            return line;
        ++line;
        start = end + 1;
    }
    return 1;
}

// The header's separator: a semicolon when it has more of them outside quotes than commas.
char DetectSeparator(std::string_view text) {
    size_t commas = 0, semicolons = 0;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n') break;
        if (c == ',') ++commas;
        if (c == ';') ++semicolons;
    }
    return semicolons > commas ? ';' : ',';
}

}  // namespace

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) return L"";
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string ToUtf8(const std::wstring& wide) {
    if (wide.empty()) return "";
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
    return text;
}

bool ParseCsv(std::string_view text, std::vector<CsvRow>& rows, std::wstring& error) {
    rows.clear();
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
    if (const size_t bad = BadUtf8Line(text)) {
        error = L"Строка " + std::to_wstring(bad) + L": текст не в кодировке UTF-8.";
        return false;
    }
    const char separator = DetectSeparator(text);
    size_t line = 1;
    CsvRow row;
    std::string field;
    bool quoted = false, fieldStarted = false;
    auto endField = [&] {
        row.fields.push_back(std::move(field));
        field.clear();
        fieldStarted = false;
    };
    auto endRow = [&] {
        // A line with nothing on it is no row; a line of empty fields (";;") is one.
        if (!(row.fields.empty() && field.empty() && !fieldStarted)) {
            endField();
            rows.push_back(std::move(row));
        }
        row = CsvRow();
        field.clear();
        fieldStarted = false;
    };
    row.line = line;
    size_t quoteLine = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == '\n') ++line;
                field += c;
            }
            continue;
        }
        if (c == '"' && field.empty()) {
            quoted = fieldStarted = true;
            quoteLine = line;
        } else if (c == separator) {
            endField();
            fieldStarted = true;
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            // the LF that follows ends the row
        } else if (c == '\n') {
            endRow();
            row.line = ++line;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (quoted) {
        error = L"Строка " + std::to_wstring(quoteLine) + L": кавычка не закрыта.";
        rows.clear();
        return false;
    }
    endRow();
    return true;
}

std::string CsvLine(const std::vector<std::string>& fields, char separator) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += separator;
        const std::string& f = fields[i];
        if (f.find_first_of(std::string("\"\r\n") + separator) == std::string::npos) {
            line += f;
            continue;
        }
        line += '"';
        for (char c : f) {
            if (c == '"') line += '"';
            line += c;
        }
        line += '"';
    }
    return line + "\r\n";
}

}  // namespace modbus
