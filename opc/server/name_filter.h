// The element name filter of IOPCBrowse::Browse, with the wildcards OPC clients use: "?" one
// character, "*" any run of characters (none too), "#" one digit, "[abc]" and "[a-z]" one
// character of a set, "[!abc]" one character outside it; "[*]", "[?]" and "[#]" stand for the
// character itself. Case-sensitive, like every name comparison of the address space. The
// match never backtracks more than once per "*", so no pattern makes a browse slow.
#pragma once

#include <string>
#include <vector>

class NameFilter {
  public:
    // A filter longer than this is refused: no name is that long.
    static constexpr size_t kMaxLength = 4096;

    // False for a pattern that is too long or has a "[" without its "]". An empty pattern
    // matches every name. Throws std::bad_alloc.
    bool Parse(const std::wstring& pattern);
    bool Matches(const std::wstring& name) const noexcept;

  private:
    struct Token {
        enum Kind { kAnyRun, kAnyOne, kDigit, kSet } kind;
        bool negated = false;
        std::vector<std::pair<wchar_t, wchar_t>> ranges;  // kSet: inclusive ranges
        bool Accepts(wchar_t c) const noexcept;
    };
    std::vector<Token> tokens_;
};
