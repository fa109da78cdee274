#include "child_process.h"

#include <tlhelp32.h>
#include <gtest/gtest.h>

#include "probe_driver_files.h"

namespace {

// Reads one pipe to its end into `text` on a thread of its own.
struct PipeReader {
    HANDLE pipe;
    std::string* text;

    HANDLE Start() {
        HANDLE thread = CreateThread(nullptr, 0, &PipeReader::Run, this, 0, nullptr);
        if (!thread) Read();  // no thread: read here, as before
        return thread;
    }
    void Read() {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0)
            text->append(buffer, n);
    }
    static DWORD WINAPI Run(void* self) {
        static_cast<PipeReader*>(self)->Read();
        return 0;
    }
};

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

// Both pipes are read to their end on threads of their own while the program runs, so that
// neither can fill up and block it, and the timeout holds even when the program hangs with its
// pipes open.
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
        PipeReader out{outRead, &run.out}, err{errRead, &run.err};
        HANDLE readers[] = {out.Start(), err.Start()};
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << std::string(exeName.begin(), exeName.end()) << " did not end";
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 10000);
        }
        // A program that handed its pipes on to a process still running keeps them open: its
        // output so far is enough.
        for (HANDLE reader : readers) {
            if (!reader) continue;
            if (WaitForSingleObject(reader, 10000) != WAIT_OBJECT_0) {
                CancelSynchronousIo(reader);
                WaitForSingleObject(reader, INFINITE);
            }
            CloseHandle(reader);
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

std::set<DWORD> ProcessesNamed(const wchar_t* exeName) {
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{sizeof(entry)};
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, exeName) == 0) ids.insert(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

void StopServer(HANDLE process, DWORD id) {
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof(entry)};
    for (BOOL ok = Thread32First(threads, &entry); ok; ok = Thread32Next(threads, &entry))
        if (entry.th32OwnerProcessID == id) PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0);
    CloseHandle(threads);
    if (WaitForSingleObject(process, 15000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
}
