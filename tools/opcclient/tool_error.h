// The two ways a command ends early: a usage error (exit code 2) or a runtime failure (exit
// code 1). Both carry the one line that goes to stderr; wmain turns them into exit codes so
// that no command has to thread error paths back by hand.
#pragma once

#include <windows.h>
#include <exception>
#include <string>

class ToolError : public std::exception {
  public:
    ToolError(int exitCode, std::wstring message)
        : exitCode_(exitCode), message_(std::move(message)) {}
    int ExitCode() const noexcept { return exitCode_; }
    const std::wstring& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return "opcclient error"; }

  private:
    int exitCode_;
    std::wstring message_;
};

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

[[noreturn]] inline void ThrowUsage(const std::wstring& message) {
    throw ToolError(kExitUsage, message);
}
[[noreturn]] inline void ThrowFailure(const std::wstring& message) {
    throw ToolError(kExitFailure, message);
}
