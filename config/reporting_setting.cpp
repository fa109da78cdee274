#include "reporting_setting.h"

#include "settings_key.h"

namespace {
constexpr const char* kReportChangesOnlyValue = "ReportChangesOnly";
}

bool ReadReportChangesOnly() {
    RegKey settings;
    if (!OpenSettingsKey(settings, false)) return false;
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExA(settings.Get(), kReportChangesOnlyValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return false;
    return value != 0;
}

bool StoreReportChangesOnly(bool on) {
    RegKey settings;
    if (!OpenSettingsKey(settings, true)) return false;
    const DWORD value = on ? 1 : 0;
    return RegSetValueExA(settings.Get(), kReportChangesOnlyValue, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
}
