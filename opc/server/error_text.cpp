#include "error_text.h"

#include <string>

#include "co_task_mem.h"
#include "com_call.h"

HRESULT ErrorText(HRESULT code, LPWSTR* text) noexcept {
    if (!text) return E_POINTER;
    *text = nullptr;
    return ComCall([&] {
        char* message = nullptr;
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                           FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                       nullptr, static_cast<DWORD>(code), 0x0400,
                                       reinterpret_cast<char*>(&message), 0, nullptr);
        std::wstring wide = L"Ошибка не описана";
        if (n && message) {
            const int length =
                MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(n), nullptr, 0);
            wide.assign(static_cast<size_t>(length), L'\0');
            MultiByteToWideChar(CP_ACP, 0, message, static_cast<int>(n), wide.data(), length);
        }
        if (message) LocalFree(message);
        *text = CoTaskStrDup(wide.c_str());
        return S_OK;
    });
}
