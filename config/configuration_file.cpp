#include "configuration_file.h"

#include <commdlg.h>
#include <algorithm>
#include <vector>

#include "ansi_text.h"
#include "com_ptr.h"
#include "compound_file_check.h"
#include "driver_list.h"
#include "server_identity.h"

namespace {

// The file's bytes; empty when it does not open or is larger than a configuration can be.
std::string ReadWholeFile(const std::string& path) {
    constexpr LONGLONG kLargest = 1LL << 30;
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart <= kLargest) {
        try {
            bytes.resize(static_cast<size_t>(size.QuadPart));
            DWORD got = 0;
            size_t done = 0;
            while (done < bytes.size() &&
                   ReadFile(file, &bytes[done],
                            static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24)),
                            &got, nullptr) &&
                   got)
                done += got;
            bytes.resize(done);
        } catch (...) {
            bytes.clear();
        }
    }
    CloseHandle(file);
    return bytes;
}

constexpr const char* kConfigurationKey = "Configuration";
constexpr const char* kDefaultConfigurationValue = "DefaultConfiguration";
constexpr DWORD kPathBufferBytes = 255;

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

// HKCR\AppID\{AppID}; `extra` adds rights beyond reading.
bool OpenAppIdKey(RegKey& appId, REGSAM extra) {
    RegKey root;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID", 0, KEY_READ, root.Put()) != ERROR_SUCCESS)
        return false;
    return RegOpenKeyExA(root.Get(), kServerAppIdText, 0, KEY_READ | extra, appId.Put()) ==
           ERROR_SUCCESS;
}

}  // namespace

void LoadConfiguration(IStorage* root) {
    DriverSnapshot lists = g_drivers.Snapshot();
    for (const auto& driver : lists->drivers) driver->Serialize(root, FALSE);
}

bool LoadConfiguration(const std::string& path) {
    return LoadConfiguration(path, nullptr);
}

bool LoadConfiguration(const std::string& path, const std::function<void()>& onceOpened) {
    // The platform's storage code loops for ever on some damaged files: it only gets files
    // whose structure is sound.
    if (!IsSoundCompoundFile(ReadWholeFile(path))) return false;
    ComPtr<IStorage> root;
    const std::wstring widePath = AnsiToWide(path);
    if (FAILED(StgOpenStorage(widePath.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr,
                              0, root.Put())))
        return false;
    if (onceOpened) onceOpened();
    LoadConfiguration(root.Get());
    return true;
}

HRESULT SaveConfigurationTo(IStorage* root) {
    if (!root) return E_POINTER;
    DriverSnapshot lists = g_drivers.Snapshot();
    for (const auto& driver : lists->drivers) driver->Serialize(root, TRUE);
    return root->Commit(STGC_DEFAULT);
}

bool WriteConfigurationFile(const std::string& path) {
    ComPtr<IStorage> root;
    const std::wstring widePath = AnsiToWide(path);
    if (FAILED(StgCreateDocfile(widePath.c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE,
                                0, root.Put())))
        return false;
    SaveConfigurationTo(root.Get());
    return true;
}

bool SaveConfiguration(const std::string& path) {
    if (!WriteConfigurationFile(path)) return false;
    return StoreDefaultConfigurationPath(path);
}

bool StoreDefaultConfigurationPath(const std::string& path) {
    // The AppID key is opened with the right to create "Configuration": registration does
    // not write it, and without that right the first save could never record its file.
    RegKey appId;
    if (!OpenAppIdKey(appId, KEY_CREATE_SUB_KEY)) return false;
    RegKey configuration;
    if (RegCreateKeyExA(appId.Get(), kConfigurationKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        configuration.Put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(configuration.Get(), kDefaultConfigurationValue, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(path.c_str()),
                          static_cast<DWORD>(path.size() + 1)) == ERROR_SUCCESS;
}

std::optional<std::string> ReadDefaultConfigurationPath() {
    RegKey appId;
    if (!OpenAppIdKey(appId, 0)) return std::nullopt;
    RegKey configuration;
    if (RegOpenKeyExA(appId.Get(), kConfigurationKey, 0, KEY_ALL_ACCESS, configuration.Put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    char buffer[kPathBufferBytes] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (RegQueryValueExA(configuration.Get(), kDefaultConfigurationValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
}

bool LoadDefaultConfiguration() {
    std::optional<std::string> path = ReadDefaultConfigurationPath();
    return path && LoadConfiguration(*path);
}

namespace {

// The standard file dialog for configuration files; nullopt when cancelled.
std::optional<std::string> AskConfigurationPath(HWND owner, bool save) {
    char file[MAX_PATH] = "";
    if (save) lstrcpynA(file, "Configuration.cfg", MAX_PATH);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = "Configuration files(*.cfg)\0*.cfg\0\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof(file);
    ofn.lpstrDefExt = "cfg";
    ofn.Flags =
        OFN_HIDEREADONLY | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST);
    if (!(save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn))) return std::nullopt;
    return std::string(file);
}

}  // namespace

std::optional<std::string> AskConfigurationPathToOpen(HWND owner) {
    return AskConfigurationPath(owner, false);
}

std::optional<std::string> AskConfigurationPathToSave(HWND owner) {
    return AskConfigurationPath(owner, true);
}

DefaultSettingsResult RunDefaultSettings(
    HWND owner, const std::function<std::optional<std::string>(HWND)>& askPath) {
    {
        DriverSnapshot lists = g_drivers.Snapshot();
        for (const auto& driver : lists->drivers) driver->DefaultSettings();
    }
    std::optional<std::string> path = askPath(owner);
    if (!path) return DefaultSettingsResult::Cancelled;
    if (!WriteConfigurationFile(*path)) return DefaultSettingsResult::NotWritten;
    return StoreDefaultConfigurationPath(*path) ? DefaultSettingsResult::Saved
                                                : DefaultSettingsResult::RegistryFailed;
}
