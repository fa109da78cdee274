// status: what the server says about itself through IOPCServer::GetStatus, and the locale it
// speaks through IOPCCommon.
#include <windows.h>
#include <memory>
#include <string>

#include "co_task_mem.h"
#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "time_format.h"
#include "tool_error.h"

namespace {

const wchar_t* StateName(OPCSERVERSTATE state) {
    switch (state) {
        case OPC_STATUS_RUNNING:
            return L"running";
        case OPC_STATUS_FAILED:
            return L"failed";
        case OPC_STATUS_NOCONFIG:
            return L"no configuration";
        case OPC_STATUS_SUSPENDED:
            return L"suspended";
        case OPC_STATUS_TEST:
            return L"test";
        case OPC_STATUS_COMM_FAULT:
            return L"communication fault";
    }
    return L"unknown";
}

std::wstring LocaleName(LCID locale) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = L"";
    if (!LCIDToLocaleName(locale, name, LOCALE_NAME_MAX_LENGTH, 0)) return L"";
    return name;
}

struct ServerStatus {
    OPCSERVERSTATUS status{};
    std::wstring vendor;
    bool hasLocale = false;
    LCID locale = 0;
};

ServerStatus Query(Connection& connection) {
    OPCSERVERSTATUS* raw = nullptr;
    const HRESULT hr = connection.Server()->GetStatus(&raw);
    std::unique_ptr<OPCSERVERSTATUS, CoTaskMemDeleter> status(raw);
    CoTaskString vendor;
    if (status) *vendor.Put() = status->szVendorInfo;
    if (FAILED(hr) || !status) ThrowFailure(L"GetStatus failed: " + DescribeFailure(hr));
    ServerStatus s;
    s.status = *status;
    s.status.szVendorInfo = nullptr;
    s.vendor = vendor.Get() ? vendor.Get() : L"";
    if (connection.Common()) s.hasLocale = SUCCEEDED(connection.Common()->GetLocaleID(&s.locale));
    return s;
}

std::wstring Version(const OPCSERVERSTATUS& s) {
    return std::to_wstring(s.wMajorVersion) + L"." + std::to_wstring(s.wMinorVersion) + L"." +
           std::to_wstring(s.wBuildNumber);
}

std::wstring ClsidText(const CLSID& clsid) {
    wchar_t text[40] = L"";
    StringFromGUID2(clsid, text, 40);
    return text;
}

void WriteJson(const Connection& connection, const ServerStatus& s) {
    JsonWriter json;
    json.BeginObject();
    json.Key(L"server");
    json.String(connection.Name());
    json.Key(L"clsid");
    json.String(ClsidText(connection.Clsid()));
    json.Key(L"state");
    json.String(StateName(s.status.dwServerState));
    const std::pair<const wchar_t*, const FILETIME*> times[] = {
        {L"start_time", &s.status.ftStartTime},
        {L"current_time", &s.status.ftCurrentTime},
        {L"last_update_time", &s.status.ftLastUpdateTime}};
    for (const auto& [key, time] : times) {
        json.Key(key);
        const std::wstring text = FormatLocalTime(*time);
        if (text.empty())
            json.Null();
        else
            json.String(text);
    }
    json.Key(L"group_count");
    json.Unsigned(s.status.dwGroupCount);
    json.Key(L"band_width");
    json.Unsigned(s.status.dwBandWidth);
    json.Key(L"version");
    json.String(Version(s.status));
    json.Key(L"vendor");
    json.String(s.vendor);
    json.Key(L"locale");
    if (s.hasLocale)
        json.Unsigned(s.locale);
    else
        json.Null();
    json.Key(L"locale_name");
    json.String(s.hasLocale ? LocaleName(s.locale) : L"");
    json.EndObject();
    WriteOut(json.Text());
}

int RunStatus(const Options& options) {
    Connection connection(options.arguments[0]);
    const ServerStatus s = Query(connection);
    if (options.json) {
        WriteJson(connection, s);
        return 0;
    }
    const OPCSERVERSTATUS& st = s.status;
    std::wstring out;
    out += L"Server:       " + connection.Name() + L" " + ClsidText(connection.Clsid()) + L"\n";
    out += L"State:        " + std::wstring(StateName(st.dwServerState)) + L"\n";
    out += L"Started:      " + FormatLocalTime(st.ftStartTime) + L"\n";
    out += L"Current time: " + FormatLocalTime(st.ftCurrentTime) + L"\n";
    out += L"Last update:  " + FormatLocalTime(st.ftLastUpdateTime) + L"\n";
    out += L"Groups:       " + std::to_wstring(st.dwGroupCount) + L"\n";
    // 0xFFFFFFFF is the value servers give when they do not measure it.
    out += L"Band width:   " +
           (st.dwBandWidth == 0xFFFFFFFF ? L"unknown" : std::to_wstring(st.dwBandWidth) + L"%") +
           L"\n";
    out += L"Version:      " + Version(st) + L"\n";
    out += L"Vendor:       " + s.vendor + L"\n";
    if (s.hasLocale) {
        const std::wstring name = LocaleName(s.locale);
        out += L"Locale:       " + std::to_wstring(s.locale) +
               (name.empty() ? L"" : L" (" + name + L")") + L"\n";
    }
    WriteOut(out);
    return 0;
}

}  // namespace

const Command kStatusCommand{
    L"status",
    L"status PROGID [--json]",
    L"print the server's status, version, vendor text and locale",
    L"Connects to the server and prints what IOPCServer::GetStatus reports, with the\n"
    L"locale from IOPCCommon::GetLocaleID.\n"
    L"  --json   one object: server, clsid, state, start_time, current_time,\n"
    L"           last_update_time, group_count, band_width, version, vendor, locale,\n"
    L"           locale_name\n",
    kOptJson,
    1,
    1,
    RunStatus};
