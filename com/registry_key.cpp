#include "registry_key.h"

#include <cwchar>

namespace {

std::wstring ReadString(HKEY key, const wchar_t* subkey, const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes < sizeof(wchar_t))
        return L"";
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) !=
        ERROR_SUCCESS)
        return L"";
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

}  // namespace

RegistryKey::RegistryKey(HKEY parent, const std::wstring& path, REGSAM view) noexcept
    : view_(view) {
    if (!parent || RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, &key_) != ERROR_SUCCESS)
        key_ = nullptr;
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
        if (key_) RegCloseKey(key_);
        key_ = std::exchange(other.key_, nullptr);
        view_ = other.view_;
    }
    return *this;
}

RegistryKey::~RegistryKey() {
    if (key_) RegCloseKey(key_);
}

RegistryKey RegistryKey::Open(const std::wstring& path) const noexcept {
    return RegistryKey(key_, path, view_);
}

std::wstring RegistryKey::Text(const wchar_t* subkey) const {
    return key_ ? ReadString(key_, subkey, nullptr) : L"";
}

std::wstring RegistryKey::NamedText(const wchar_t* name) const {
    return key_ ? ReadString(key_, nullptr, name) : L"";
}

std::vector<std::wstring> RegistryKey::SubkeyNames() const {
    std::vector<std::wstring> names;
    if (!key_) return names;
    for (DWORD i = 0;; ++i) {
        // Key names are at most 255 characters.
        wchar_t name[256];
        DWORD length = 256;
        const LONG r = RegEnumKeyExW(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        // Any other failure (a key deleted meanwhile) skips that one entry.
        if (r == ERROR_SUCCESS) names.emplace_back(name, length);
    }
    return names;
}
