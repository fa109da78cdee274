// The registry key where the running server keeps its settings: "Configuration" under the
// server's AppID key (HKEY_CLASSES_ROOT\AppID\{AppID}). Registration does not write it; the
// first setting stored creates it, and unregistration removes it with the AppID key.
#pragma once

#include <windows.h>

class RegKey {
  public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (h_) RegCloseKey(h_);
    }
    HKEY* Put() { return &h_; }
    HKEY Get() const { return h_; }

  private:
    HKEY h_ = nullptr;
};

// Opens the settings key to read it, or with `forWriting` to write it (creating it if it is
// missing). False if the server is not registered (no AppID key) or the key does not open.
bool OpenSettingsKey(RegKey& key, bool forWriting);
