#include "time_format.h"

#include <oleauto.h>
#include <cwchar>

namespace {

std::wstring Format(const SYSTEMTIME& t) {
    wchar_t text[40];
    swprintf(text, 40, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

}  // namespace

std::wstring FormatLocalTime(const FILETIME& utc) {
    if (utc.dwLowDateTime == 0 && utc.dwHighDateTime == 0) return L"";
    SYSTEMTIME universal, local;
    if (!FileTimeToSystemTime(&utc, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return L"?";
    return Format(local);
}

std::wstring FormatDate(DATE date) {
    SYSTEMTIME t;
    if (!VariantTimeToSystemTime(date, &t)) return L"?";
    return Format(t);
}

std::wstring FormatNow() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return Format(t);
}
