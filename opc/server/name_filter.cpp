#include "name_filter.h"

#include <cstdint>

bool NameFilter::Token::Accepts(wchar_t c) const noexcept {
    switch (kind) {
        case kAnyRun:
        case kAnyOne:
            return true;
        case kDigit:
            return c >= L'0' && c <= L'9';
        case kSet:
            break;
    }
    bool inSet = false;
    for (const auto& [low, high] : ranges)
        if (c >= low && c <= high) inSet = true;
    return inSet != negated;
}

bool NameFilter::Parse(const std::wstring& pattern) {
    tokens_.clear();
    if (pattern.size() > kMaxLength) return false;
    if (pattern.empty()) {
        tokens_.push_back(Token{Token::kAnyRun, false, {}});  // no filter: every name
        return true;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        Token token{Token::kSet, false, {}};
        switch (pattern[i]) {
            case L'*':
                // A run of stars is one: the match stays linear in stars, not exponential.
                if (!tokens_.empty() && tokens_.back().kind == Token::kAnyRun) continue;
                token.kind = Token::kAnyRun;
                break;
            case L'?':
                token.kind = Token::kAnyOne;
                break;
            case L'#':
                token.kind = Token::kDigit;
                break;
            case L'[': {
                const size_t close = pattern.find(L']', i + 1);
                if (close == std::wstring::npos) return false;
                size_t k = i + 1;
                if (k < close && pattern[k] == L'!') {
                    token.negated = true;
                    ++k;
                }
                for (; k < close; ++k) {
                    if (k + 2 < close && pattern[k + 1] == L'-') {
                        token.ranges.emplace_back(pattern[k], pattern[k + 2]);
                        k += 2;
                    } else {
                        token.ranges.emplace_back(pattern[k], pattern[k]);
                    }
                }
                i = close;
                break;
            }
            default:
                token.ranges.emplace_back(pattern[i], pattern[i]);
                break;
        }
        tokens_.push_back(std::move(token));
    }
    return true;
}

bool NameFilter::Matches(const std::wstring& name) const noexcept {
    // Greedy with one resume point: the last "*" seen takes one more character whenever what
    // follows it fails.
    size_t t = 0, n = 0;
    size_t starToken = SIZE_MAX, starName = 0;
    while (n < name.size()) {
        if (t < tokens_.size() && tokens_[t].kind == Token::kAnyRun) {
            starToken = t++;
            starName = n;
        } else if (t < tokens_.size() && tokens_[t].Accepts(name[n])) {
            ++t;
            ++n;
        } else if (starToken != SIZE_MAX) {
            t = starToken + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (t < tokens_.size() && tokens_[t].kind == Token::kAnyRun) ++t;
    return t == tokens_.size();
}
