// Times as people at this machine read them: local time, ISO order, milliseconds.
#pragma once

#include <windows.h>
#include <string>

// "2024-05-01 12:34:56.789" in local time; empty for a zero time, which servers send for
// "never".
std::wstring FormatLocalTime(const FILETIME& utc);
// A VT_DATE, which carries no time zone and is shown as it is.
std::wstring FormatDate(DATE date);
std::wstring FormatNow();
