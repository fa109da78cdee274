// How the update cycles of every group in the process choose what to send.
//
// Every item (the default, and what clients of this server have always had): each cycle sends
// every readable item of the group, changed or not, and the percent deadband is only stored.
// Changes only (the OPC standard's reporting by exception): each cycle sends the active items
// whose quality changed or whose value changed since they were last sent, an analog item's
// value only when it moved by more than the group's percent deadband of its engineering
// range; a cycle with nothing to send sends nothing.
#pragma once

enum class ReportingMode { kEveryItem, kChangesOnly };

ReportingMode CurrentReportingMode() noexcept;
void SetReportingMode(ReportingMode mode) noexcept;

inline bool ReportsChangesOnly() noexcept {
    return CurrentReportingMode() == ReportingMode::kChangesOnly;
}
