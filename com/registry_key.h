// A registry key opened for reading in one registry view (KEY_WOW64_64KEY or KEY_WOW64_32KEY),
// closed when it goes. Reads never throw past a failure of the registry: a key that cannot be
// opened is empty, a value of the wrong type reads as absent.
#pragma once

#include <windows.h>
#include <string>
#include <utility>
#include <vector>

class RegistryKey {
  public:
    RegistryKey() noexcept = default;
    RegistryKey(HKEY parent, const std::wstring& path, REGSAM view) noexcept;
    RegistryKey(RegistryKey&& other) noexcept
        : key_(std::exchange(other.key_, nullptr)), view_(other.view_) {}
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();

    explicit operator bool() const noexcept { return key_ != nullptr; }
    HKEY Get() const noexcept { return key_; }

    // A subkey in the same view (empty when it cannot be opened).
    RegistryKey Open(const std::wstring& path) const noexcept;
    bool HasSubkey(const std::wstring& path) const noexcept {
        return static_cast<bool>(Open(path));
    }
    // The REG_SZ default value of `subkey` ("" for the key itself), or empty.
    std::wstring Text(const wchar_t* subkey = L"") const;
    // The string value `name` of the key itself, or empty.
    std::wstring NamedText(const wchar_t* name) const;
    // The names of the direct subkeys.
    std::vector<std::wstring> SubkeyNames() const;

  private:
    HKEY key_ = nullptr;
    REGSAM view_ = 0;
};
