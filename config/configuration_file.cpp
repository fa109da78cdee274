#include "configuration_file.h"

#include <commdlg.h>
#include <algorithm>
#include <vector>

#include "ansi_text.h"
#include "com_ptr.h"
#include "compound_file_check.h"
#include "configuration_status.h"
#include "driver_list.h"
#include "server_identity.h"
#include "settings_key.h"
#include "win_handle.h"

namespace {

// Another program holds the file in a way that keeps readers out: it is writing it, or reads it
// with everyone else shut out. That lasts moments, so it is worth waiting for.
bool HeldByAnother(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

struct FileBytes {
    std::string bytes;  // empty when the file did not open or is larger than a configuration
    DWORD error = ERROR_SUCCESS;
};

// The whole file in one go, open only for that long. Other readers may read meanwhile and a
// save may replace it (it then reads the old file to its end); writers are kept out, so the
// bytes are never half of one version and half of another.
FileBytes ReadWholeFile(const std::string& path) {
    constexpr LONGLONG kLargest = 1LL << 30;
    FileBytes read;
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        read.error = GetLastError();
        return read;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0 && size.QuadPart <= kLargest) {
        try {
            read.bytes.resize(static_cast<size_t>(size.QuadPart));
            DWORD got = 0;
            size_t done = 0;
            BOOL ok = TRUE;
            while (done < read.bytes.size() &&
                   (ok = ReadFile(
                        file.Get(), &read.bytes[done],
                        static_cast<DWORD>(std::min<size_t>(read.bytes.size() - done, 1 << 24)),
                        &got, nullptr)) &&
                   got)
                done += got;
            if (!ok) read.error = GetLastError();
            read.bytes.resize(done);
        } catch (...) {
            read.bytes.clear();
            read.error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (read.error != ERROR_SUCCESS) read.bytes.clear();
    return read;
}

// The file, waiting up to kConfigurationBusyLimitMs while another program keeps readers out.
FileBytes ReadWholeFileWhenFree(const std::string& path) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        FileBytes read = ReadWholeFile(path);
        if (!HeldByAnother(read.error) || GetTickCount64() - start >= kConfigurationBusyLimitMs)
            return read;
        Sleep(100);
    }
}

// A read-only storage over bytes in memory: the drivers read their streams from it long after
// the file itself was closed.
ComPtr<IStorage> StorageInMemory(const std::string& bytes) {
    ComPtr<ILockBytes> memory;
    ComPtr<IStorage> root;
    if (FAILED(CreateILockBytesOnHGlobal(nullptr, TRUE, memory.Put()))) return root;
    ULONG written = 0;
    if (FAILED(memory->WriteAt(ULARGE_INTEGER{}, bytes.data(), static_cast<ULONG>(bytes.size()),
                               &written)) ||
        written != bytes.size())
        return root;
    if (FAILED(StgOpenStorageOnILockBytes(memory.Get(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                          nullptr, 0, root.Put())))
        root.Reset();
    return root;
}

constexpr const char* kDefaultConfigurationValue = "DefaultConfiguration";
constexpr DWORD kPathBufferBytes = 255;

}  // namespace

void LoadConfiguration(IStorage* root) {
    DriverSnapshot lists = g_drivers.Snapshot();
    for (const auto& driver : lists->drivers) driver->Serialize(root, FALSE);
}

bool LoadConfiguration(const std::string& path) {
    return LoadConfiguration(path, nullptr);
}

bool LoadConfiguration(const std::string& path, const std::function<void()>& onceOpened) {
    return LoadConfigurationFile(path, onceOpened) == LoadOutcome::Loaded;
}

LoadOutcome LoadConfigurationFile(const std::string& path,
                                  const std::function<void()>& onceOpened) {
    const FileBytes file = ReadWholeFileWhenFree(path);
    if (file.error == ERROR_FILE_NOT_FOUND || file.error == ERROR_PATH_NOT_FOUND)
        return LoadOutcome::Missing;
    if (HeldByAnother(file.error)) return LoadOutcome::InUse;
    if (file.error != ERROR_SUCCESS) return LoadOutcome::Unreadable;
    // The platform's storage code loops for ever on some damaged files: it only gets files
    // whose structure is sound.
    if (!IsSoundCompoundFile(file.bytes)) return LoadOutcome::Damaged;
    ComPtr<IStorage> root = StorageInMemory(file.bytes);
    if (!root) return LoadOutcome::Damaged;
    if (onceOpened) onceOpened();
    LoadConfiguration(root.Get());
    ClearConfigurationProblem();
    return LoadOutcome::Loaded;
}

HRESULT SaveConfigurationTo(IStorage* root) {
    if (!root) return E_POINTER;
    DriverSnapshot lists = g_drivers.Snapshot();
    for (const auto& driver : lists->drivers) driver->Serialize(root, TRUE);
    return root->Commit(STGC_DEFAULT);
}

namespace {

// The directory a path names its file in ("." for a bare name).
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    return slash == 0 || path[slash - 1] == ':' ? path.substr(0, slash + 1) : path.substr(0, slash);
}

// Puts `written` in the place of `path` in one step. The platform refuses to replace a file
// that anybody has open (Wine always, Windows unless the reader let deletion in), and readers
// hold it for the moment of one read: tries again often, for a while.
bool ReplaceWith(const std::string& written, const std::string& path) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (MoveFileExA(written.c_str(), path.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        if ((!HeldByAnother(error) && error != ERROR_ACCESS_DENIED) ||
            GetTickCount64() - start >= kConfigurationBusyLimitMs)
            return false;
        Sleep(10);
    }
}

}  // namespace

bool WriteConfigurationFile(const std::string& path) {
    // A new file beside the old one, then the swap: a reader (another server process starting
    // up) finds the old file or the new one, never a file half written.
    char written[MAX_PATH] = "";
    if (!GetTempFileNameA(DirectoryOf(path).c_str(), "cfg", 0, written)) return false;
    HRESULT hr;
    {
        ComPtr<IStorage> root;
        const std::wstring widePath = AnsiToWide(written);
        hr = StgCreateDocfile(widePath.c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE, 0,
                              root.Put());
        if (SUCCEEDED(hr)) hr = SaveConfigurationTo(root.Get());
    }
    if (SUCCEEDED(hr) && ReplaceWith(written, path)) return true;
    DeleteFileA(written);
    return false;
}

bool SaveConfiguration(const std::string& path) {
    if (!WriteConfigurationFile(path)) return false;
    return StoreDefaultConfigurationPath(path);
}

bool StoreDefaultConfigurationPath(const std::string& path) {
    RegKey settings;
    if (!OpenSettingsKey(settings, true)) return false;
    return RegSetValueExA(settings.Get(), kDefaultConfigurationValue, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(path.c_str()),
                          static_cast<DWORD>(path.size() + 1)) == ERROR_SUCCESS;
}

std::optional<std::string> ReadDefaultConfigurationPath() {
    RegKey configuration;
    if (!OpenSettingsKey(configuration, false)) return std::nullopt;
    char buffer[kPathBufferBytes] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (RegQueryValueExA(configuration.Get(), kDefaultConfigurationValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
}

LoadOutcome LoadDefaultConfiguration() {
    std::optional<std::string> path = ReadDefaultConfigurationPath();
    if (!path) return LoadOutcome::NotNamed;
    const LoadOutcome outcome = LoadConfigurationFile(*path);
    if (outcome != LoadOutcome::Loaded) RecordConfigurationProblem(*path, outcome);
    return outcome;
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
