#include "command_line.h"

#include <cwchar>
#include <cwctype>

#include "tool_error.h"

namespace {

struct OptionSpec {
    const wchar_t* name;
    OptionFlag flag;
    bool takesValue;
};

constexpr OptionSpec kOptions[] = {
    {L"--json", kOptJson, false},
    {L"--device", kOptDevice, false},
    {L"--rate", kOptRate, true},
    {L"--count", kOptCount, true},
    {L"--sizes", kOptSizes, true},
    {L"--runs", kOptRuns, true},
    {L"--poll", kOptPoll, false},
    {L"--async", kOptAsync, false},
    {L"--subscribe", kOptSubscribe, false},
    {L"--idle", kOptIdle, false},
    {L"--groups", kOptGroups, true},
    {L"--items", kOptItems, true},
    {L"--seconds", kOptSeconds, true},
    {L"--depth", kOptDepth, true},
    {L"--leaves", kOptLeaves, false},
    {L"--browse", kOptBrowse, false},
    {L"--properties", kOptProperties, false},
    {L"--da1", kOptDa1, false},
    {L"--da2", kOptDa2, false},
    {L"--da3", kOptDa3, false},
    {L"--server-list", kOptServerList, false},
    {L"--change", kOptChange, true},
    {L"--keep-alive", kOptKeepAlive, true},
    {L"--item-deadband", kOptItemDeadband, true},
    {L"--da3", kOptDa3, false},
    {L"--max-age", kOptMaxAge, true},
    {L"--vqt", kOptVqt, false},
    {L"--quality", kOptQuality, true},
    {L"--timestamp", kOptTimestamp, true},
    {L"--versus", kOptVersus, true},
};

// Strict: wcstoul alone would take "12abc", "-1" (wrapping) and "" without complaint.
unsigned long PositiveNumber(const std::wstring& text, const wchar_t* option) {
    bool digits = !text.empty() && text.size() <= 9;
    for (wchar_t c : text) digits = digits && iswdigit(c);
    const unsigned long n = digits ? wcstoul(text.c_str(), nullptr, 10) : 0;
    if (n == 0) ThrowUsage(std::wstring(option) + L" needs a positive number, not '" + text + L"'");
    return n;
}

// "N" or "N%", N a decimal from 0 to 100 with a full stop in any locale: the share is written
// to a server as a number, and "1,5" would be a list elsewhere on this command line.
double Percent(const std::wstring& text, const wchar_t* option) {
    std::wstring number = text;
    if (!number.empty() && number.back() == L'%') number.pop_back();
    size_t digits = 0, points = 0;
    for (wchar_t c : number) {
        digits += iswdigit(c) ? 1 : 0;
        points += c == L'.' ? 1 : 0;
    }
    const bool wellFormed = digits > 0 && digits <= 12 && points <= 1 &&
                            digits + points == number.size() && iswdigit(number.front()) &&
                            iswdigit(number.back());
    const double value = wellFormed ? wcstod(number.c_str(), nullptr) : -1;
    if (value < 0 || value > 100)
        ThrowUsage(std::wstring(option) + L" needs a share from 0 to 100 (%), not '" + text + L"'");
    return value;
}

// A decimal, or hexadecimal after "0x", up to `most`.
unsigned long long Number(const std::wstring& text, const wchar_t* option,
                          unsigned long long most) {
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::wstring digits = hex ? text.substr(2) : text;
    bool wellFormed = !digits.empty() && digits.size() <= 10;
    for (wchar_t c : digits) wellFormed = wellFormed && (hex ? iswxdigit(c) : iswdigit(c));
    const unsigned long long n = wellFormed ? wcstoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    if (!wellFormed || n > most)
        ThrowUsage(std::wstring(option) + L" needs a number from 0 to " + std::to_wstring(most) +
                   L", not '" + text + L"'");
    return n;
}

// "now", or "YYYY-MM-DD HH:MM:SS[.mmm]" in UTC.
FILETIME UtcTime(const std::wstring& text, const wchar_t* option) {
    FILETIME time{};
    if (text == L"now") {
        GetSystemTimeAsFileTime(&time);
        return time;
    }
    SYSTEMTIME st{};
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    const int fields =
        swscanf(text.c_str(), L"%4u-%2u-%2u %2u:%2u:%2u.%3u", &y, &mo, &d, &h, &mi, &s, &ms);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    if (fields < 6 || !SystemTimeToFileTime(&st, &time))
        ThrowUsage(std::wstring(option) + L" needs now or YYYY-MM-DD HH:MM:SS[.mmm] (UTC), not '" +
                   text + L"'");
    return time;
}

std::vector<DWORD> SizeList(const std::wstring& text) {
    std::vector<DWORD> sizes;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(L',', start);
        sizes.push_back(static_cast<DWORD>(PositiveNumber(
            text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start),
            L"--sizes")));
        if (comma == std::wstring::npos) return sizes;
        start = comma + 1;
    }
}

void Apply(Options& o, const OptionSpec& spec, const std::wstring& value) {
    o.given |= spec.flag;
    switch (spec.flag) {
        case kOptJson:
            o.json = true;
            break;
        case kOptDevice:
            o.device = true;
            break;
        case kOptRate:
            o.rate = static_cast<DWORD>(PositiveNumber(value, spec.name));
            break;
        case kOptCount:
            o.count = PositiveNumber(value, spec.name);
            break;
        case kOptSizes:
            o.sizes = SizeList(value);
            break;
        case kOptRuns:
            o.runs = static_cast<unsigned>(PositiveNumber(value, spec.name));
            break;
        case kOptPoll:
            o.poll = true;
            break;
        case kOptAsync:
            o.async = true;
            break;
        case kOptSubscribe:
            o.subscribe = true;
            break;
        case kOptIdle:
            o.idle = true;
            break;
        case kOptGroups:
            o.groups = PositiveNumber(value, spec.name);
            break;
        case kOptItems:
            o.items = PositiveNumber(value, spec.name);
            break;
        case kOptSeconds:
            o.seconds = PositiveNumber(value, spec.name);
            break;
        case kOptDepth:
            o.depth = PositiveNumber(value, spec.name);
            break;
        case kOptLeaves:
            o.leavesOnly = true;
            break;
        case kOptBrowse:
            o.browse = true;
            break;
        case kOptProperties:
            o.properties = true;
            break;
        case kOptDa1:
            o.da1 = true;
            break;
        case kOptDa2:
            o.da2 = true;
            break;
        case kOptDa3:
            o.da3 = true;
            break;
        case kOptServerList:
            o.serverList = true;
            break;
        case kOptChange:
            o.change = Percent(value, OptionName(kOptChange));
            break;
        case kOptKeepAlive:
            o.keepAlive = static_cast<DWORD>(PositiveNumber(value, spec.name));
            break;
        case kOptItemDeadband:
            o.itemDeadband = Percent(value, spec.name);
            break;
        case kOptMaxAge:
            o.maxAge = static_cast<DWORD>(Number(value, spec.name, 0xFFFFFFFFull));
            break;
        case kOptVqt:
            o.vqt = true;
            break;
        case kOptQuality:
            o.quality = static_cast<WORD>(Number(value, spec.name, 0xFFFF));
            break;
        case kOptTimestamp:
            o.timestamp = UtcTime(value, spec.name);
            break;
        case kOptVersus:
            if (value.empty()) ThrowUsage(L"--versus needs a server");
            o.versus = value;
            break;
    }
}

}  // namespace

const wchar_t* OptionName(OptionFlag flag) {
    for (const OptionSpec& spec : kOptions)
        if (spec.flag == flag) return spec.name;
    return L"?";
}

Options ParseCommandLine(int argc, const wchar_t* const* argv) {
    Options o;
    bool onlyPositional = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != L'-') {
            if (o.command.empty())
                o.command = arg;
            else
                o.arguments.push_back(arg);
            continue;
        }
        if (arg == L"--") {
            onlyPositional = true;
            continue;
        }
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            o.help = true;
            continue;
        }
        const size_t equals = arg.find(L'=');
        const std::wstring name = arg.substr(0, equals);
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& candidate : kOptions)
            if (name == candidate.name) spec = &candidate;
        if (!spec) ThrowUsage(L"unknown option " + name);
        std::wstring value;
        if (spec->takesValue) {
            if (equals != std::wstring::npos)
                value = arg.substr(equals + 1);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                ThrowUsage(name + L" needs a value");
        } else if (equals != std::wstring::npos) {
            ThrowUsage(name + L" takes no value");
        }
        Apply(o, *spec, value);
    }
    return o;
}
