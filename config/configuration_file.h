// Configuration files: a compound file in which every loaded driver keeps its settings in a
// stream of its own, and the registry value that names the default configuration, loaded
// at every start-up.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <functional>
#include <optional>
#include <string>

// Every driver, in list order, reads its stream from `root` (missing streams: unchanged).
void LoadConfiguration(IStorage* root);
// Opens the file and loads it; a file that does not open (or is no compound file) changes
// nothing. False then.
bool LoadConfiguration(const std::string& path);
// The same, calling `onceOpened` (if any) after the file opened and before any driver loads.
bool LoadConfiguration(const std::string& path, const std::function<void()>& onceOpened);

// Every driver, in list order, writes its stream into `root`; then `root` is committed.
HRESULT SaveConfigurationTo(IStorage* root);
// Writes the file (steps 1 and 2 of a save); false if it cannot be created.
bool WriteConfigurationFile(const std::string& path);
// A whole save: the file, then the file becomes the default configuration.
bool SaveConfiguration(const std::string& path);

// The "DefaultConfiguration" value; false if the AppID key or its subkey does not open.
bool StoreDefaultConfigurationPath(const std::string& path);
// The stored path, if there is one that fits the 255-byte buffer it is read through.
std::optional<std::string> ReadDefaultConfigurationPath();
// Start-up: loads the default configuration if one is named and opens.
bool LoadDefaultConfiguration();

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
