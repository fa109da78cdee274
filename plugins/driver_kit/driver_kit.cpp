#include "driver_kit.h"

#include <cstring>
#include <cwchar>

namespace driver_kit {

char* CoTaskCopy(const std::string& text) {
    auto* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
    if (copy) memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

LONG NameList(const std::vector<std::string>& list, char*** names, DWORD* count) {
    if (!names || !count || list.empty()) return 0;
    auto** array = static_cast<char**>(CoTaskMemAlloc(list.size() * sizeof(char*)));
    if (!array) return 0;
    for (size_t i = 0; i < list.size(); ++i) array[i] = CoTaskCopy(list[i]);
    *names = array;
    *count = static_cast<DWORD>(list.size());
    return 1;
}

bool ReadStream(IStream* stream, std::string& bytes, size_t limit) {
    bytes.clear();
    char buffer[8192];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &got)) && got) {
        bytes.append(buffer, got);
        if (bytes.size() > limit) return false;
    }
    return true;
}

bool WriteStream(IStream* stream, const std::string& bytes) {
    ULONG written = 0;
    return SUCCEEDED(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) &&
           written == bytes.size();
}

std::wstring DialogText(HWND dialog, int id) {
    wchar_t buffer[1024];
    GetDlgItemTextW(dialog, id, buffer, 1024);
    return buffer;
}

std::wstring NumberText(double value) {
    wchar_t text[64];
    swprintf(text, 64, L"%g", value);
    return text;
}

bool ParseNumber(std::wstring text, double& value) {
    for (wchar_t& c : text)
        if (c == L',') c = L'.';
    wchar_t* end = nullptr;
    value = wcstod(text.c_str(), &end);
    return !text.empty() && end && *end == 0;
}

void Complain(HWND dialog, const wchar_t* caption, const std::wstring& text, int focus) {
    MessageBoxW(dialog, text.c_str(), caption, MB_OK | MB_ICONWARNING);
    SetFocus(GetDlgItem(dialog, focus));
}

namespace {

INT_PTR CALLBACK ModalDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        const auto* handlers = reinterpret_cast<const DialogHandlers*>(lParam);
        if (handlers->fill) handlers->fill(dialog);
        return TRUE;
    }
    const auto* handlers =
        reinterpret_cast<const DialogHandlers*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message != WM_COMMAND || !handlers) return FALSE;
    switch (LOWORD(wParam)) {
        case IDOK:
            if (!handlers->accept || handlers->accept(dialog)) EndDialog(dialog, IDOK);
            break;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            break;
        default:
            if (handlers->changed) handlers->changed(dialog, LOWORD(wParam), HIWORD(wParam));
    }
    return TRUE;
}

}  // namespace

INT_PTR RunModalDialog(HINSTANCE instance, HWND owner, const DialogTemplate& form,
                       const DialogHandlers& handlers) {
    return DialogBoxIndirectParamW(instance, form.Get(), owner, ModalDialogProc,
                                   reinterpret_cast<LPARAM>(&handlers));
}

std::wstring Wide(const std::string& ansi) {
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, out.data(), n);
    return out;
}

std::string Ansi(const std::wstring& wide) {
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace driver_kit
