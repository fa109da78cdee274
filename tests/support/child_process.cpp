#include "child_process.h"

#include <gtest/gtest.h>
#include <thread>

#include "probe_driver_files.h"

namespace {

std::string Drain(HANDLE pipe) {
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) text.append(buffer, n);
    return text;
}

// `exeName` in the test program's directory, or where a path names it.
std::wstring ProgramPath(const std::wstring& exeName) {
    if (exeName.find(L'\\') != std::wstring::npos) return exeName;
    const std::string dir = TestProgramDirectory();
    return std::wstring(dir.begin(), dir.end()) + L"\\" + exeName;
}

}  // namespace

HANDLE StartChild(const std::wstring& exeName, const std::wstring& arguments) {
    const std::wstring exe = ProgramPath(exeName);
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si{sizeof(si)};
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Both pipes are read to their end while the program runs, so that neither can fill up and
// block it.
ChildRun RunChild(const std::wstring& exeName, const std::wstring& arguments, DWORD timeoutMs) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) return run;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) return run;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    const std::wstring exe = ProgramPath(exeName);
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si{sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        std::thread errors([&] { run.err = Drain(errRead); });
        run.out = Drain(outRead);
        errors.join();
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << std::string(exeName.begin(), exeName.end()) << " did not end";
            TerminateProcess(pi.hProcess, 99);
        }
        GetExitCodeProcess(pi.hProcess, &run.exitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    } else {
        ADD_FAILURE() << "cannot start " << std::string(exe.begin(), exe.end()) << ": error "
                      << startError << " (0x" << std::hex << startError << std::dec << ")";
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}
