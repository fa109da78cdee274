// The commands of the tool, each described once: its help, the options it accepts, how many
// positional arguments it takes, and the function that runs it. A run returns the exit code
// or throws ToolError.
#pragma once

#include <cstddef>
#include <cstdint>

#include "command_line.h"

struct Command {
    const wchar_t* name;
    const wchar_t* synopsis;
    const wchar_t* summary;
    const wchar_t* details;
    unsigned options;
    size_t minArguments;
    size_t maxArguments;
    int (*run)(const Options& options);
};

constexpr size_t kAnyNumber = SIZE_MAX;

extern const Command kListCommand;
extern const Command kStatusCommand;
extern const Command kReadCommand;
extern const Command kWriteCommand;
extern const Command kWatchCommand;
extern const Command kBenchCommand;
extern const Command kBrowseCommand;
extern const Command kPropsCommand;
