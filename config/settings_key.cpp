#include "settings_key.h"

#include "server_identity.h"

namespace {

constexpr const char* kSettingsKey = "Configuration";

// HKCR\AppID\{AppID}; `extra` adds rights beyond reading.
bool OpenAppIdKey(RegKey& appId, REGSAM extra) {
    RegKey root;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_READ, root.Put()) != ERROR_SUCCESS)
        return false;
    return RegOpenKeyExA(root.Get(), kServerAppIdText, 0, KEY_READ | extra, appId.Put()) ==
           ERROR_SUCCESS;
}

}  // namespace

bool OpenSettingsKey(RegKey& key, bool forWriting) {
    // The AppID key is opened with the right to create the settings key: registration does
    // not write it, and without that right the first setting could never be stored.
    RegKey appId;
    if (!OpenAppIdKey(appId, forWriting ? KEY_CREATE_SUB_KEY : 0)) return false;
    if (forWriting)
        return RegCreateKeyExA(appId.Get(), kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               key.Put(), nullptr) == ERROR_SUCCESS;
    return RegOpenKeyExA(appId.Get(), kSettingsKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}
