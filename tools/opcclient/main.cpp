// opcclient: a command-line OPC DA client that speaks only the standard interfaces, so it
// works against any OPC DA server.
#include <windows.h>
#include <objbase.h>
#include <new>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "console_output.h"
#include "hresult_text.h"
#include "tool_error.h"

namespace {

const Command* const kCommands[] = {&kListCommand,  &kStatusCommand, &kBrowseCommand,
                                    &kPropsCommand, &kReadCommand,   &kWriteCommand,
                                    &kWatchCommand, &kBenchCommand};

std::wstring ToolHelp() {
    std::wstring text =
        L"usage: opcclient COMMAND [ARGUMENTS] [--json]\n"
        L"A client for OPC Data Access servers on this machine.\n\ncommands:\n";
    for (const Command* command : kCommands) {
        std::wstring name = command->name;
        name.resize(8, L' ');
        text += L"  " + name + command->summary + L"\n";
    }
    text +=
        L"\nPROGID is the server's ProgID or its {CLSID}. Every command takes --json for "
        L"machine-readable output.\n"
        L"Exit codes: 0 success, 1 failure (one line on stderr), 2 bad usage.\n"
        L"See 'opcclient COMMAND --help' for the details of a command.\n";
    return text;
}

std::wstring CommandHelp(const Command& command) {
    return L"usage: opcclient " + std::wstring(command.synopsis) + L"\n" + command.summary +
           L".\n\n" + command.details;
}

const Command* Find(const std::wstring& name) {
    for (const Command* command : kCommands)
        if (name == command->name) return command;
    return nullptr;
}

void CheckUsage(const Command& command, const Options& options) {
    for (unsigned bit = 1; bit != 0 && bit <= kOptLast; bit <<= 1)
        if ((options.given & bit) && !(command.options & bit))
            ThrowUsage(std::wstring(OptionName(static_cast<OptionFlag>(bit))) +
                       L" does not apply to " + command.name);
    const size_t n = options.arguments.size();
    if (n < command.minArguments)
        ThrowUsage(std::wstring(L"missing arguments: opcclient ") + command.synopsis);
    if (n > command.maxArguments)
        ThrowUsage(L"unexpected argument '" + options.arguments[command.maxArguments] + L"'");
}

// Joins the multithreaded apartment for as long as a command runs: the tool has no window
// and no message loop, and every call it makes is a blocking one.
class ComApartment {
  public:
    ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {
        if (FAILED(hr_)) ThrowFailure(L"cannot initialise COM: " + DescribeFailure(hr_));
    }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    HRESULT hr_;
};

int Run(int argc, wchar_t** argv) {
    const Options options = ParseCommandLine(argc, argv);
    if (options.command.empty()) {
        if (!options.help) ThrowUsage(L"no command given");
        WriteOut(ToolHelp());
        return 0;
    }
    const Command* command = Find(options.command);
    if (!command) ThrowUsage(L"unknown command '" + options.command + L"'");
    if (options.help) {
        WriteOut(CommandHelp(*command));
        return 0;
    }
    CheckUsage(*command, options);
    ComApartment apartment;
    return command->run(options);
}

// The last line of a run; wmain lets nothing escape, not even a failed allocation here.
void ReportError(const std::wstring& message, bool usage) noexcept {
    try {
        WriteErr(L"opcclient: " + message + (usage ? L" (see opcclient --help)\n" : L"\n"));
    } catch (...) {
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (const ToolError& e) {
        ReportError(e.Message(), e.ExitCode() == kExitUsage);
        return e.ExitCode();
    } catch (const std::bad_alloc&) {
        ReportError(L"out of memory", false);
    } catch (...) {
        ReportError(L"unexpected internal error", false);
    }
    return kExitFailure;
}
