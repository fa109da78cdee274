// Configuration files: a compound file in which every loaded driver keeps its settings in a
// stream of its own, and the registry value that names the default configuration, loaded
// at every start-up.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <functional>
#include <optional>
#include <string>

// What became of a configuration file that was to be loaded.
enum class LoadOutcome {
    Loaded,
    NotNamed,    // the registry names no default configuration (nothing was to be loaded)
    Missing,     // there is no such file
    InUse,       // another program kept readers out (writing it) for kConfigurationBusyLimitMs
    Unreadable,  // it did not open or read for another reason
    Damaged,     // it is no compound file, or not a sound one
};

// How long a load waits for a file that another program keeps readers out of, and a save for
// readers that keep it from replacing the file.
constexpr DWORD kConfigurationBusyLimitMs = 5000;

// Every driver, in list order, reads its stream from `root` (missing streams: unchanged).
void LoadConfiguration(IStorage* root);
// Reads the whole file, closes it, then loads it; a file that does not load changes nothing.
// The file is read with other readers let in and writers kept out. A loaded file ends a
// configuration problem recorded before (configuration_status.h).
LoadOutcome LoadConfigurationFile(const std::string& path,
                                  const std::function<void()>& onceOpened = nullptr);
// The same, true when it loaded.
bool LoadConfiguration(const std::string& path);
// The same, calling `onceOpened` (if any) after the file opened and before any driver loads.
bool LoadConfiguration(const std::string& path, const std::function<void()>& onceOpened);

// Every driver, in list order, writes its stream into `root`; then `root` is committed.
HRESULT SaveConfigurationTo(IStorage* root);
// Writes the file (steps 1 and 2 of a save) as a new file beside it that then replaces it, so
// that nobody ever reads half a file. The replacement waits for readers of the old file, up to
// kConfigurationBusyLimitMs. False if it cannot be written or put in place (the old file is
// then as it was).
bool WriteConfigurationFile(const std::string& path);
// A whole save: the file, then the file becomes the default configuration.
bool SaveConfiguration(const std::string& path);

// The "DefaultConfiguration" value; false if the AppID key or its subkey does not open.
bool StoreDefaultConfigurationPath(const std::string& path);
// The stored path, if there is one that fits the 255-byte buffer it is read through.
std::optional<std::string> ReadDefaultConfigurationPath();
// Start-up: loads the default configuration if one is named. A named file that does not load
// is recorded as the process's configuration problem.
LoadOutcome LoadDefaultConfiguration();

// The standard open dialog for configuration files; nullopt when cancelled.
std::optional<std::string> AskConfigurationPathToOpen(HWND owner);
// The standard save dialog for configuration files; nullopt when cancelled.
std::optional<std::string> AskConfigurationPathToSave(HWND owner);

enum class DefaultSettingsResult {
    Saved,           // drivers reset, file written, registry updated
    Cancelled,       // the user cancelled the dialog: start-up fails
    NotWritten,      // the file could not be created: start-up goes on, registry untouched
    RegistryFailed,  // the AppID key did not open: start-up fails
};

// Drivers back to their defaults, then a new default configuration chosen by the user.
DefaultSettingsResult RunDefaultSettings(
    HWND owner,
    const std::function<std::optional<std::string>(HWND)>& askPath = AskConfigurationPathToSave);
