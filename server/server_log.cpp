#include "server_log.h"

#include <windows.h>
#include <cwchar>

#include "win_handle.h"

namespace {

// "<executable without .exe>.log", or empty if the name is not known.
std::wstring LogPath() {
    wchar_t module[MAX_PATH] = L"";
    const DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::wstring path(module, n);
    const size_t dot = path.find_last_of(L'.');
    const size_t slash = path.find_last_of(L"\\/");
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) path.resize(dot);
    return path + L".log";
}

std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

}  // namespace

void WriteServerLog(const std::wstring& text) noexcept {
    try {
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t head[64];
        swprintf(head, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", now.wYear, now.wMonth,
                 now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                 GetCurrentProcessId());
        const std::wstring line = head + text + L"\r\n";
        OutputDebugStringW(line.c_str());
        const std::wstring path = LogPath();
        if (path.empty()) return;
        // Appending only, with everyone let in: several server processes may write at once,
        // and each line goes in with one write.
        UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        const std::string bytes = Utf8(line);
        DWORD written = 0;
        WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } catch (...) {
        // No memory for a log line: the server goes on without it.
    }
}
