#include "json_writer.h"

#include <cmath>
#include <cwchar>

namespace {

bool IsHigh(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendEscape(std::wstring& out, unsigned code) {
    wchar_t text[8];
    swprintf(text, 8, L"\\u%04x", code);
    out += text;
}

}  // namespace

std::wstring JsonQuote(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    out += L'"';
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        switch (c) {
            case L'"':
                out += L"\\\"";
                continue;
            case L'\\':
                out += L"\\\\";
                continue;
            case L'\n':
                out += L"\\n";
                continue;
            case L'\r':
                out += L"\\r";
                continue;
            case L'\t':
                out += L"\\t";
                continue;
            case L'\b':
                out += L"\\b";
                continue;
            case L'\f':
                out += L"\\f";
                continue;
        }
        if (c < 0x20 || c == 0x7F) {
            AppendEscape(out, c);
        } else if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
            out += c;
            out += text[++i];
        } else if (IsHigh(c) || IsLow(c)) {
            AppendEscape(out, c);
        } else {
            out += c;
        }
    }
    out += L'"';
    return out;
}

void JsonWriter::NewLine() {
    if (layout_ != Layout::kPretty) return;
    text_ += L'\n';
    text_.append(levels_.size() * 2, L' ');
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (levels_.empty()) return;
    if (!levels_.back().empty) text_ += layout_ == Layout::kPretty ? L"," : L", ";
    levels_.back().empty = false;
    NewLine();
}

void JsonWriter::Open(wchar_t bracket) {
    BeforeValue();
    text_ += bracket;
    levels_.push_back({});
}

void JsonWriter::Close(wchar_t bracket) {
    const bool empty = levels_.empty() || levels_.back().empty;
    if (!levels_.empty()) levels_.pop_back();
    if (!empty) NewLine();
    text_ += bracket;
}

void JsonWriter::BeginObject() {
    Open(L'{');
}
void JsonWriter::EndObject() {
    Close(L'}');
}
void JsonWriter::BeginArray() {
    Open(L'[');
}
void JsonWriter::EndArray() {
    Close(L']');
}

void JsonWriter::Key(std::wstring_view name) {
    BeforeValue();
    text_ += JsonQuote(name);
    text_ += L": ";
    afterKey_ = true;
}

void JsonWriter::String(std::wstring_view text) {
    BeforeValue();
    text_ += JsonQuote(text);
}

void JsonWriter::Integer(long long n) {
    BeforeValue();
    text_ += std::to_wstring(n);
}

void JsonWriter::Unsigned(unsigned long long n) {
    BeforeValue();
    text_ += std::to_wstring(n);
}

void JsonWriter::Number(double d) {
    if (!std::isfinite(d)) return Null();
    BeforeValue();
    wchar_t text[40];
    swprintf(text, 40, L"%.17g", d);
    // The shortest form that reads back the same is friendlier than 17 digits of noise.
    for (int precision = 6; precision < 17; ++precision) {
        wchar_t shorter[40];
        swprintf(shorter, 40, L"%.*g", precision, d);
        if (wcstod(shorter, nullptr) == d) {
            wcscpy(text, shorter);
            break;
        }
    }
    text_ += text;
}

void JsonWriter::RawNumber(std::wstring_view text) {
    BeforeValue();
    text_ += text;
}

void JsonWriter::Bool(bool b) {
    BeforeValue();
    text_ += b ? L"true" : L"false";
}

void JsonWriter::Null() {
    BeforeValue();
    text_ += L"null";
}
