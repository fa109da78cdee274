#include "driver_list.h"

#include "ansi_text.h"
#include "win_handle.h"

DriverRegistry g_drivers;

std::shared_ptr<CDriver> DriverLists::Find(std::string_view displayName) const {
    for (size_t i = 0; i < driverNames.size(); ++i)
        if (driverNames[i] == displayName) return drivers[i];
    return nullptr;
}

DriverRegistry::DriverRegistry() : current_(std::make_shared<DriverLists>()) {}

DriverSnapshot DriverRegistry::Snapshot() const {
    CriticalSectionLock lock(publishLock_);
    return current_;
}

void DriverRegistry::Publish(DriverSnapshot lists) {
    CriticalSectionLock lock(publishLock_);
    current_.swap(lists);
    for (HANDLE event : subscribers_) SetEvent(event);
    // The old pair is released outside the lock (`lists` goes out of scope after it).
}

void DriverRegistry::Subscribe(HANDLE event) {
    CriticalSectionLock lock(publishLock_);
    subscribers_.push_back(event);
}

void DriverRegistry::Unsubscribe(HANDLE event) noexcept {
    CriticalSectionLock lock(publishLock_);
    for (size_t i = 0; i < subscribers_.size(); ++i) {
        if (subscribers_[i] == event) {
            subscribers_.erase(subscribers_.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

bool ParseDriverLine(const std::string& line, std::string& dllName, std::string& displayName) {
    if (!line.empty() && line[0] == ';') return false;
    const size_t bar = line.find('|');
    dllName = line.substr(0, bar);
    displayName = bar == std::string::npos ? std::string() : line.substr(bar + 1);
    return true;
}

namespace {

// The whole file, read with exclusive sharing; false if it does not open.
bool ReadListFile(const std::string& path, std::string& content) {
    UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        content.append(buffer, got);
    return true;
}

// Lines as a text-mode reader gives them: split at '\n', a '\r' before it dropped.
std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

}  // namespace

int DriverRegistry::LoadFrom(const std::string& listFile) {
    CriticalSectionLock change(changeLock_);
    std::string content;
    if (!ReadListFile(listFile, content)) return 0;
    auto lists = std::make_shared<DriverLists>(*Snapshot());
    for (const std::string& line : SplitLines(content)) {
        std::string dllName, displayName;
        if (!ParseDriverLine(line, dllName, displayName)) continue;
        auto driver = std::make_shared<CDriver>();
        if (!driver->Load(dllName)) continue;
        lists->drivers.push_back(std::move(driver));
        lists->driverNames.push_back(std::move(displayName));
    }
    Publish(std::move(lists));
    return 0;
}

void DriverRegistry::Unload(DWORD drainMs) {
    CriticalSectionLock change(changeLock_);
    std::vector<std::pair<std::weak_ptr<CDriver>, CDriver::ReleaseMark>> leaving;
    {
        DriverSnapshot old = Snapshot();
        for (const auto& driver : old->drivers) leaving.emplace_back(driver, driver->Released());
        Publish(std::make_shared<DriverLists>());
    }
    const DWORD start = GetTickCount();
    for (const auto& [driver, released] : leaving) {
        // The last user may still be on its way out of the driver's destructor: the DLL is
        // released when that ends, and a load after this one must find it released.
        while (!(driver.expired() && released->load()) && GetTickCount() - start < drainMs) {
            // A driver stuck in an entry point is not waited for: it keeps its DLL loaded
            // (the stuck call holds it) and its thread ends with the process.
            if (std::shared_ptr<CDriver> held = driver.lock(); held && held->IsUnresponsive())
                break;
            Sleep(1);
        }
    }
}

std::string ExecutableDirectory() {
    std::string path = ModuleFileName(nullptr);
    std::string shortPath = ShortPathName(path);
    if (!shortPath.empty()) path = shortPath;
    return path.substr(0, path.find_last_of('\\'));
}

int LoadDrivers() {
    const std::string directory = ExecutableDirectory();
    // Relative DLL names in the list, and later relative paths, resolve there.
    SetCurrentDirectoryA(directory.c_str());
    return g_drivers.LoadFrom(directory + "\\..\\Drivers.cfg");
}

void UnloadDrivers() {
    g_drivers.Unload();
}
