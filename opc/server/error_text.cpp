#include "error_text.h"

#include <memory>
#include <string>

#include "co_task_mem.h"
#include "com_call.h"

namespace {

struct LocalMemDeleter {
    void operator()(void* p) const noexcept { LocalFree(p); }
};
template <class T>
using LocalPtr = std::unique_ptr<T, LocalMemDeleter>;

LANGID TextLanguage(LCID locale) {
    return PRIMARYLANGID(LANGIDFROMLCID(locale)) == LANG_RUSSIAN
               ? MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)
               : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

// Only the exact language is asked for: how the platform falls back to another language
// differs between Windows and Wine, and the table holds both anyway.
bool OwnText(HRESULT code, LANGID language, std::wstring& text) {
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   GetModuleHandleW(nullptr), static_cast<DWORD>(code), language,
                                   reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    LocalPtr<wchar_t> held(message);
    if (!n || !message) return false;
    text.assign(message, n);
    return true;
}

// The system's text, as clients of this server have always received it: in the user's
// language, converted from the ANSI code page, line break included.
bool SystemText(HRESULT code, std::wstring& text) {
    char* message = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), 0x0400, reinterpret_cast<char*>(&message), 0, nullptr);
    LocalPtr<char> held(message);
    if (!n || !message) return false;
    const int length = MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(n), nullptr, 0);
    text.assign(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(n), text.data(), length);
    return true;
}

}  // namespace

HRESULT ErrorText(HRESULT code, LCID locale, LPWSTR* text) noexcept {
    if (!text) return E_POINTER;
    *text = nullptr;
    return ComCall([&] {
        std::wstring wide;
        if (!OwnText(code, TextLanguage(locale), wide) && !SystemText(code, wide))
            wide = L"Ошибка не описана";
        *text = CoTaskStrDup(wide.c_str());
        return S_OK;
    });
}
