#include "tag_csv.h"

#include <windows.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "address_notation.h"
#include "csv_table.h"
#include "diagnostics_tags.h"
#include "modbus_settings.h"

namespace modbus {

namespace {

enum Column {
    kName,
    kDescription,
    kTable,
    kAddress,
    kType,
    kStringRegisters,
    kWordOrder,
    kByteSwap,
    kScaling,
    kRawLow,
    kRawHigh,
    kEuLow,
    kEuHigh,
    kRangeLow,
    kRangeHigh,
    kUnits,
    kReadOnly,
    kColumns
};

const char* const kHeader[kColumns] = {
    "name",       "description", "table",      "address", "type",     "string_registers",
    "word_order", "byte_swap",   "scaling",    "raw_low", "raw_high", "eu_low",
    "eu_high",    "range_low",   "range_high", "units",   "read_only"};

const char* const kTables[] = {"coils", "discrete_inputs", "input_registers", "holding_registers"};
const char* const kTypes[] = {"bool",   "int16",   "uint16",  "int32",
                              "uint32", "float32", "float64", "string"};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The model keeps names in the ANSI code page: false for a text with a letter it lacks.
bool ToAnsi(const std::string& utf8, std::string& ansi) {
    const std::wstring wide = FromUtf8(utf8);
    ansi.clear();
    if (wide.empty()) return true;
    BOOL lost = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                      static_cast<int>(wide.size()), nullptr, 0, nullptr, &lost);
    if (lost || n <= 0) return false;
    ansi.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        ansi.data(), n, nullptr, nullptr);
    return true;
}

std::string FromAnsi(const std::string& ansi) {
    if (ansi.empty()) return "";
    const int n =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
    return ToUtf8(wide);
}

// The shortest text that reads back as the same number, with a point whatever the locale.
std::string Number(double value) {
    char text[40];
    for (int digits = 15; digits <= 17; ++digits) {
        snprintf(text, sizeof(text), "%.*g", digits, value);
        for (char* c = text; *c; ++c)
            if (*c == ',') *c = '.';
        if (strtod(text, nullptr) == value) break;
    }
    return text;
}

bool ParseDouble(std::string text, double& value) {
    text = Trimmed(text);
    for (char& c : text)
        if (c == ',') c = '.';  // a Russian spreadsheet's decimal comma
    char* end = nullptr;
    value = strtod(text.c_str(), &end);
    return !text.empty() && end && *end == 0 && std::isfinite(value);
}

bool ParseWhole(const std::string& text, unsigned long high, unsigned long& value) {
    const std::string t = Trimmed(text);
    if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 9)
        return false;
    value = strtoul(t.c_str(), nullptr, 10);
    return value <= high;
}

// Empty is `fallback`; false for what is no yes or no.
bool ParseYesNo(const std::string& text, bool fallback, bool& value) {
    const std::string t = Lower(Trimmed(text));
    if (t.empty()) {
        value = fallback;
    } else if (t == "yes" || t == "1" || t == "true" || t == "\xD0\xB4\xD0\xB0") {  // "да"
        value = true;
    } else if (t == "no" || t == "0" || t == "false" || t == "\xD0\xBD\xD0\xB5\xD1\x82" ||
               t == "\xD0\x9D\xD0\xB5\xD1\x82") {  // "нет"
        value = false;
    } else {
        return false;
    }
    return true;
}

bool ParseTable(const std::string& text, Table& table) {
    const std::string t = Lower(Trimmed(text));
    static const char* const digits[] = {"0", "1", "3", "4"};
    static const char* const shortNames[] = {"0x", "1x", "3x", "4x"};
    for (size_t i = 0; i < 4; ++i)
        if (t == kTables[i] || t == digits[i] || t == shortNames[i]) {
            table = static_cast<Table>(i);
            return true;
        }
    return false;
}

void WriteTags(const Model& model, DWORD id, const std::string& prefix, std::string& out) {
    for (const std::string& name : model.Children(id, true)) {
        const std::optional<ObjectSettings> s = model.Settings(model.Find(id, name));
        if (!s) continue;
        const TagSettings& t = s->tag;
        const Encoding& e = t.encoding;
        std::vector<std::string> f(kColumns);
        f[kName] = FromAnsi(prefix + name);
        f[kDescription] = FromAnsi(s->description);
        f[kTable] = kTables[static_cast<size_t>(t.table)];
        f[kAddress] = std::to_string(t.address);
        f[kType] = kTypes[static_cast<size_t>(e.type)];
        if (e.type == DataType::kString) f[kStringRegisters] = std::to_string(e.stringRegisters);
        f[kWordOrder] = e.lowWordFirst ? "low_first" : "high_first";
        f[kByteSwap] = e.swapBytes ? "yes" : "no";
        f[kScaling] = e.scaling.enabled ? "yes" : "no";
        if (e.scaling.enabled) {
            f[kRawLow] = Number(e.scaling.rawLow);
            f[kRawHigh] = Number(e.scaling.rawHigh);
            f[kEuLow] = Number(e.scaling.euLow);
            f[kEuHigh] = Number(e.scaling.euHigh);
        }
        if (t.ranged) {
            f[kRangeLow] = Number(t.rangeLow);
            f[kRangeHigh] = Number(t.rangeHigh);
        }
        f[kUnits] = FromAnsi(t.units);
        f[kReadOnly] = IsWritable(t.table) ? "no" : "yes";
        out += CsvLine(f);
    }
    for (const std::string& name : model.Children(id, false))
        WriteTags(model, model.Find(id, name), prefix + name + ".", out);
}

// The row's tag, or why not.
std::wstring ReadRow(const std::vector<std::string>& cells, TagRow& row) {
    auto cell = [&](Column c) -> const std::string& { return cells[c]; };
    ObjectSettings& s = row.settings;
    s.kind = Kind::kTag;
    std::string path;
    if (!ToAnsi(Trimmed(cell(kName)), path))
        return L"в имени есть знаки, которых нет в кодовой странице Windows.";
    if (path.empty()) return L"нет имени тега.";
    for (size_t dot; (dot = path.find('.')) != std::string::npos; path.erase(0, dot + 1)) {
        row.folders.push_back(path.substr(0, dot));
        if (row.folders.back().empty()) return L"в имени пустая папка (две точки подряд).";
    }
    s.name = path;
    if (!ToAnsi(cell(kDescription), s.description) || !ToAnsi(Trimmed(cell(kUnits)), s.tag.units))
        return L"в описании или единицах есть знаки, которых нет в кодовой странице Windows.";
    TagSettings& t = s.tag;
    Encoding& e = t.encoding;
    const std::string table = Trimmed(cell(kTable));
    unsigned long number = 0;
    if (table.empty()) {
        if (!ParseEngineerAddress(Trimmed(cell(kAddress)), t.table, t.address))
            return L"без таблицы адрес пишется как 40001 (цифра таблицы и номер с единицы).";
    } else {
        if (!ParseTable(table, t.table))
            return L"неизвестная таблица «" + FromUtf8(table) +
                   L"» (coils, discrete_inputs, input_registers, holding_registers).";
        if (!ParseWhole(cell(kAddress), 65535, number))
            return L"адрес (с нуля) должен быть от 0 до 65535.";
        t.address = static_cast<uint16_t>(number);
    }
    const std::string type = Lower(Trimmed(cell(kType)));
    bool known = false;
    for (size_t i = 0; i < std::size(kTypes) && !known; ++i)
        if (type == kTypes[i]) {
            e.type = static_cast<DataType>(i);
            known = true;
        }
    if (!known) return L"неизвестный тип «" + FromUtf8(type) + L"».";
    if (e.type == DataType::kString) {
        if (!ParseWhole(cell(kStringRegisters), kMaxReadRegisters, number) || number == 0)
            return L"строка занимает от 1 до 125 регистров (string_registers).";
        e.stringRegisters = static_cast<uint16_t>(number);
    }
    const std::string order = Lower(Trimmed(cell(kWordOrder)));
    if (order == "low_first")
        e.lowWordFirst = true;
    else if (!order.empty() && order != "high_first")
        return L"порядок слов — high_first или low_first.";
    if (!ParseYesNo(cell(kByteSwap), false, e.swapBytes)) return L"byte_swap — yes или no.";
    if (!ParseYesNo(cell(kScaling), false, e.scaling.enabled)) return L"scaling — yes или no.";
    if (e.scaling.enabled && (!ParseDouble(cell(kRawLow), e.scaling.rawLow) ||
                              !ParseDouble(cell(kRawHigh), e.scaling.rawHigh) ||
                              !ParseDouble(cell(kEuLow), e.scaling.euLow) ||
                              !ParseDouble(cell(kEuHigh), e.scaling.euHigh)))
        return L"границы масштабирования (raw_low, raw_high, eu_low, eu_high) должны быть числами.";
    const bool low = !Trimmed(cell(kRangeLow)).empty(), high = !Trimmed(cell(kRangeHigh)).empty();
    if (low != high) return L"диапазон задаётся обеими границами (range_low и range_high).";
    t.ranged = low;
    if (t.ranged &&
        (!ParseDouble(cell(kRangeLow), t.rangeLow) || !ParseDouble(cell(kRangeHigh), t.rangeHigh)))
        return L"границы диапазона должны быть числами.";
    bool readOnly = !IsWritable(t.table);
    if (!ParseYesNo(cell(kReadOnly), readOnly, readOnly)) return L"read_only — yes или no.";
    if (readOnly != !IsWritable(t.table))
        return readOnly ? L"теги этой таблицы записываются: только чтение не задаётся."
                        : L"теги этой таблицы только читаются.";
    t.name = s.name;
    t.description = s.description;
    return CheckTag(t);
}

}  // namespace

std::string WriteTagCsv(const Model& model, DWORD device) {
    std::string out(kUtf8Bom);
    out += CsvLine(std::vector<std::string>(std::begin(kHeader), std::end(kHeader)));
    WriteTags(model, device, "", out);
    return out;
}

TagImport ReadTagCsv(const Model& model, DWORD device, std::string_view text) {
    TagImport result;
    auto refuse = [&](size_t line, const std::wstring& why) {
        result.refused.push_back(L"Строка " + std::to_wstring(line) + L": " + why);
    };
    std::vector<CsvRow> rows;
    std::wstring error;
    if (!ParseCsv(text, rows, error)) {
        result.refused.push_back(error);
        return result;
    }
    if (rows.empty()) {
        refuse(1, L"нет строки заголовка.");
        return result;
    }
    // Where each column is in this file; -1 for one it lacks.
    int at[kColumns];
    std::fill(std::begin(at), std::end(at), -1);
    for (size_t i = 0; i < rows[0].fields.size(); ++i) {
        const std::string name = Lower(Trimmed(rows[0].fields[i]));
        for (int c = 0; c < kColumns; ++c)
            if (name == kHeader[c]) {
                if (at[c] >= 0) {
                    refuse(rows[0].line, L"столбец «" + FromUtf8(name) + L"» повторяется.");
                    return result;
                }
                at[c] = static_cast<int>(i);
            }
    }
    for (Column required : {kName, kAddress, kType})
        if (at[required] < 0) {
            refuse(rows[0].line, L"в заголовке нет столбца «" + FromUtf8(kHeader[required]) +
                                     L"» (нужны name, address, type).");
            return result;
        }
    // Paths of the rows before, to catch a name given twice or a tag taken for a folder.
    std::set<std::string> taken, folders;
    for (size_t r = 1; r < rows.size(); ++r) {
        const CsvRow& csv = rows[r];
        std::vector<std::string> cells(kColumns);
        for (int c = 0; c < kColumns; ++c)
            if (at[c] >= 0 && static_cast<size_t>(at[c]) < csv.fields.size())
                cells[c] = csv.fields[at[c]];
        TagRow row;
        row.line = csv.line;
        std::wstring why = ReadRow(cells, row);
        // The model's own checks against what already exists along the path.
        DWORD parent = device;
        std::string path;
        for (const std::string& folder : row.folders) {
            if (!why.empty()) break;
            path += folder;
            const DWORD existing = parent ? model.Find(parent, folder) : 0;
            if ((existing && model.KindOf(existing) != Kind::kFolder) || taken.count(path))
                why = L"«" + FromUtf8(FromAnsi(path)) + L"» — тег, а не папка.";
            else if (!existing && folder.size() > 64)
                why = L"имя папки длиннее 64 знаков.";
            else if (!existing && DiagnosticTags::Reserved(folder))
                why = L"Имя «_Diagnostics» занято папкой диагностики устройства.";
            folders.insert(path);
            path += ".";
            parent = existing;
        }
        const std::string tagPath = path + row.settings.name;
        if (why.empty() && parent) why = model.Check(parent, 0, row.settings);
        if (why.empty() && DiagnosticTags::Reserved(row.settings.name))
            why = L"Имя «_Diagnostics» занято папкой диагностики устройства.";
        if (why.empty() && folders.count(tagPath)) why = L"в файле выше это имя — папка.";
        if (why.empty() && !taken.insert(tagPath).second)
            why = L"тег с таким именем уже есть в файле выше.";
        if (!why.empty()) {
            refuse(row.line, why);
            continue;
        }
        result.good.push_back(std::move(row));
    }
    return result;
}

std::wstring RefusalText(const TagImport& import, size_t lines) {
    std::wstring text;
    for (size_t i = 0; i < import.refused.size() && i < lines; ++i)
        text += import.refused[i] + L"\n";
    if (import.refused.size() > lines)
        text += L"… и ещё " + std::to_wstring(import.refused.size() - lines) + L".\n";
    return text;
}

size_t AddTagRows(Model& model, DWORD device, const std::vector<TagRow>& rows) {
    size_t added = 0;
    for (const TagRow& row : rows) {
        DWORD parent = device;
        for (const std::string& folder : row.folders) {
            DWORD next = model.Find(parent, folder);
            if (!next) {
                ObjectSettings f;
                f.kind = Kind::kFolder;
                f.name = folder;
                next = model.Add(parent, f);
            }
            parent = next;
            if (!parent) break;
        }
        if (parent && model.Add(parent, row.settings)) ++added;
    }
    return added;
}

}  // namespace modbus
