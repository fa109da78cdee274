// A small JSON writer: nesting, commas and string escaping are its business, so the
// commands only say what goes where. Pretty output indents by two spaces; compact output
// keeps one value on one line (for streams of objects, one per line).
#pragma once

#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
  public:
    enum class Layout { kPretty, kOneLine };
    explicit JsonWriter(Layout layout = Layout::kPretty) : layout_(layout) {}

    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the current object.
    void Key(std::wstring_view name);

    void String(std::wstring_view text);
    void Integer(long long n);
    void Unsigned(unsigned long long n);
    // Non-finite numbers have no JSON form and are written as null.
    void Number(double d);
    // A number already in JSON form (e.g. a 64-bit integer or decimal kept exact).
    void RawNumber(std::wstring_view text);
    void Bool(bool b);
    void Null();

    // Finished text with a final line break.
    std::wstring Text() const { return text_ + L"\n"; }

  private:
    void BeforeValue();
    void Open(wchar_t bracket);
    void Close(wchar_t bracket);
    void NewLine();

    struct Level {
        bool empty = true;
    };
    Layout layout_;
    std::wstring text_;
    std::vector<Level> levels_;
    bool afterKey_ = false;
};

// `text` as a quoted JSON string: quotes, backslashes and control characters escaped, other
// characters kept (they leave the tool as UTF-8); an unpaired surrogate is escaped, since it
// has no UTF-8 form.
std::wstring JsonQuote(std::wstring_view text);
