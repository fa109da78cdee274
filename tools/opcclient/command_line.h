// The command line: a command name, its positional arguments and the options, which may
// appear anywhere after the command. Which options a command accepts is checked against its
// descriptor, so parsing stays one generic pass.
#pragma once

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

enum OptionFlag : unsigned {
    kOptJson = 1u << 0,
    kOptDevice = 1u << 1,
    kOptRate = 1u << 2,
    kOptCount = 1u << 3,
    kOptSizes = 1u << 4,
    kOptRuns = 1u << 5,
    kOptPoll = 1u << 6,
    kOptAsync = 1u << 7,
    kOptSubscribe = 1u << 8,
    kOptIdle = 1u << 9,
    kOptGroups = 1u << 10,
    kOptItems = 1u << 11,
    kOptSeconds = 1u << 12,
    kOptDepth = 1u << 13,
    kOptLeaves = 1u << 14,
    kOptBrowse = 1u << 15,
    kOptProperties = 1u << 16,
    kOptDa1 = 1u << 17,
    kOptChange = 1u << 18,
    kOptKeepAlive = 1u << 19,
    kOptItemDeadband = 1u << 20,
    kOptDa3 = 1u << 21,
    kOptMaxAge = 1u << 22,
    kOptVqt = 1u << 23,
    kOptQuality = 1u << 24,
    kOptTimestamp = 1u << 25,
    kOptDa2 = 1u << 26,
    kOptServerList = 1u << 27,
    kOptVersus = 1u << 28,
    kOptLast = kOptVersus,
};

struct Options {
    std::wstring command;
    std::vector<std::wstring> arguments;
    unsigned given = 0;  // OptionFlag bits seen on the command line
    bool help = false;
    bool json = false;
    bool device = false;
    DWORD rate = 1000;
    std::optional<unsigned long> count;
    std::vector<DWORD> sizes{100, 1000, 10000};
    unsigned runs = 5;
    bool poll = false;
    bool async = false;
    bool subscribe = false;
    bool idle = false;
    std::optional<unsigned long> groups;
    std::optional<unsigned long> items;
    std::optional<unsigned long> seconds;
    std::optional<unsigned long> depth;
    bool leavesOnly = false;
    bool browse = false;
    bool properties = false;
    bool da1 = false;
    std::optional<double> change;        // percent, 0 to 100
    std::optional<DWORD> keepAlive;      // milliseconds
    std::optional<double> itemDeadband;  // percent, 0 to 100
    bool da2 = false;
    bool serverList = false;  // list: ask the OPC server list
    bool da3 = false;
    std::optional<DWORD> maxAge;  // ms; 0xFFFFFFFF: any age
    bool vqt = false;
    std::optional<WORD> quality;
    std::optional<FILETIME> timestamp;  // UTC
    std::wstring versus;                // bench: the server to pair the runs with
};

// Throws ToolError (usage) for an unknown option, a missing or malformed option value.
Options ParseCommandLine(int argc, const wchar_t* const* argv);

// "--rate" for kOptRate, for messages.
const wchar_t* OptionName(OptionFlag flag);
