// The stored "report changes only" setting of the server (a REG_DWORD "ReportChangesOnly"
// beside the default configuration's path): 1 makes every group's update cycle send only the
// items that changed, 0 or no value keeps the old way of sending every item every cycle. The
// server reads it at start-up; the configurator changes it for the running server too.
#pragma once

// False when the value is missing, unreadable or 0.
bool ReadReportChangesOnly();
// False if the server is not registered or the value cannot be written.
bool StoreReportChangesOnly(bool on);
