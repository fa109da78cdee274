#include "ansi_text.h"

#include <cwchar>
#include <vector>

std::wstring AnsiToWide(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

namespace {

std::string WideToAnsi(const wchar_t* text, size_t length) {
    if (length == 0) return {};
    const int size = static_cast<int>(length);
    int n = WideCharToMultiByte(CP_ACP, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, size, ansi.data(), n, nullptr, nullptr);
    return ansi;
}

}  // namespace

std::string WideToAnsi(const std::wstring& text) {
    return WideToAnsi(text.data(), text.size());
}

std::string WideToAnsi(const wchar_t* text) {
    return text ? WideToAnsi(text, wcslen(text)) : std::string();
}

std::string ModuleFileName(HMODULE module) {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string ShortPathName(const std::string& path) {
    DWORD n = GetShortPathNameA(path.c_str(), nullptr, 0);
    if (n == 0) return {};
    std::string result(n, '\0');
    n = GetShortPathNameA(path.c_str(), result.data(), n);
    if (n == 0 || n >= result.size()) return {};
    result.resize(n);
    return result;
}
