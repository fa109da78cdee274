#include "process_meter.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <vector>

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// The executable's path from a LocalServer32 command line ("C:\x\y.exe" -a, or C:\x\y.exe).
std::wstring ExecutableOf(const std::wstring& commandLine) {
    size_t start = commandLine.find_first_not_of(L" \t");
    if (start == std::wstring::npos) return L"";
    if (commandLine[start] == L'"') {
        const size_t end = commandLine.find(L'"', start + 1);
        return commandLine.substr(start + 1, end == std::wstring::npos ? end : end - start - 1);
    }
    const size_t exe = Lower(commandLine).find(L".exe", start);
    return commandLine.substr(start, exe == std::wstring::npos ? exe : exe + 4 - start);
}

std::string ReadWholeFile(const std::string& path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

std::vector<std::string> Subdirectories(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (found.cFileName[0] >= '0' && found.cFileName[0] <= '9')
            names.push_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return names;
}

const char kProc[] = "Z:\\proc";

// CPU time of a Linux process's threads, in nanoseconds (the first field of each thread's
// schedstat; the process's own stat counts only in clock ticks). A thread's time vanishes
// from /proc when it ends, so every thread ever seen keeps the time it was last seen with:
// the sum never goes back, and misses only what an ended thread used after the last look.
uint64_t LinuxCpuNanoseconds(unsigned long pid, std::map<std::string, uint64_t>& seen) {
    const std::string tasks = std::string(kProc) + "\\" + std::to_string(pid) + "\\task";
    for (const std::string& task : Subdirectories(tasks))
        seen[task] =
            strtoull(ReadWholeFile(tasks + "\\" + task + "\\schedstat").c_str(), nullptr, 10);
    uint64_t total = 0;
    for (const auto& thread : seen) total += thread.second;
    return total;
}

// The threads of process `pid`, from a snapshot of the system's threads.
unsigned CountThreads(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    unsigned count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == pid) ++count;
    CloseHandle(snapshot);
    return count;
}

// A "Vm...:  123 kB" line of /proc/PID/status, in bytes.
uint64_t StatusKilobytes(const std::string& status, const char* key) {
    const size_t at = status.find(key);
    if (at == std::string::npos) return 0;
    return strtoull(status.c_str() + at + strlen(key), nullptr, 10) * 1024;
}

// The value of WINEPREFIX in an environment block ("A=1\0B=2\0..."); empty when it has none.
std::string PrefixIn(const std::string& environment) {
    const std::string key = "WINEPREFIX=";
    for (size_t start = 0; start < environment.size();) {
        const size_t end = environment.find('\0', start);
        if (environment.compare(start, key.size(), key) == 0)
            return environment.substr(start + key.size(), end - start - key.size());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return {};
}

// This process's Wine prefix, as the processes of the prefix carry it in their environment.
std::string OurPrefix() {
    char prefix[MAX_PATH * 2] = "";
    GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix));
    return prefix;
}

// Whether the Linux process behind /proc directory `base` runs in this Wine prefix. Another
// prefix may run the very same executable (the same Windows path, even the same Unix file):
// only the prefix tells its processes apart from ours.
bool InOurPrefix(const std::string& base) {
    return PrefixIn(ReadWholeFile(base + "\\environ")) == OurPrefix();
}

// A Windows path in its long form, for comparing: COM may hold the short form of the same
// file (LocalServer32 is written with the name the registering process was started by).
std::wstring Canonical(const std::wstring& path) {
    wchar_t full[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    std::wstring result = n && n < MAX_PATH * 2 ? full : path;
    n = GetLongPathNameW(result.c_str(), full, MAX_PATH * 2);
    if (n && n < MAX_PATH * 2) result = full;
    return Lower(result);
}

struct LinuxProcess {
    unsigned long pid;
    bool startedByCom;  // its command line ends with COM's -Embedding
};

// The Linux processes of this prefix that run `exePath` (Wine keeps the Windows command line
// there, one argument a string).
std::vector<LinuxProcess> LinuxProcessesRunning(const std::wstring& exePath) {
    std::vector<LinuxProcess> found;
    const std::wstring wanted = Canonical(exePath);
    auto isProgram = [](const std::wstring& path) {
        return path.size() > 4 && Lower(path.substr(path.size() - 4)) == L".exe";
    };
    for (const std::string& pid : Subdirectories(kProc)) {
        const std::string base = std::string(kProc) + "\\" + pid;
        const std::string line = ReadWholeFile(base + "\\cmdline");
        const std::string program = line.substr(0, line.find('\0'));
        const std::wstring wide(program.begin(), program.end());
        // Windows programs only: the path is looked up on disk, which Linux ones need not be.
        if (!isProgram(wide) || Canonical(wide) != wanted || !InOurPrefix(base)) continue;
        const std::string embedding = std::string(1, '\0') + "-Embedding";
        found.push_back(
            {strtoul(pid.c_str(), nullptr, 10), line.find(embedding) != std::string::npos});
    }
    return found;
}

// The one process of `candidates` that COM talks to: the only one, or the only one COM
// started when the same program also runs by hand; 0 when there is no telling.
unsigned long TheServer(const std::vector<LinuxProcess>& candidates) {
    if (candidates.size() == 1) return candidates[0].pid;
    unsigned long byCom = 0;
    for (const LinuxProcess& p : candidates) {
        if (!p.startedByCom) continue;
        if (byCom) return 0;
        byCom = p.pid;
    }
    return byCom;
}

// The wineserver of this Wine prefix: its process is named "wineserver" or "wineserver64",
// and with several prefixes in use the one started with ours (WINEPREFIX in its
// environment) is taken.
unsigned long OurWineserver() {
    const bool known = !OurPrefix().empty();
    std::vector<unsigned long> found;
    for (const std::string& pid : Subdirectories(kProc)) {
        const std::string base = std::string(kProc) + "\\" + pid;
        std::string name = ReadWholeFile(base + "\\comm");
        if (name.rfind("wineserver", 0) != 0) continue;
        const unsigned long id = strtoul(pid.c_str(), nullptr, 10);
        if (known && InOurPrefix(base)) return id;
        found.push_back(id);
    }
    return found.size() == 1 ? found[0] : 0;
}

double Seconds(const FILETIME& t) {
    ULARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = t.dwHighDateTime;
    return static_cast<double>(v.QuadPart) / 1e7;
}

}  // namespace

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::optional<ProcessMeter> ProcessMeter::ForServer(const CLSID& clsid) {
    wchar_t clsidText[64];
    if (!StringFromGUID2(clsid, clsidText, 64)) return std::nullopt;
    const std::wstring key = std::wstring(L"CLSID\\") + clsidText + L"\\LocalServer32";
    wchar_t command[1024] = L"";
    LONG size = sizeof(command);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), command, &size) != ERROR_SUCCESS)
        return std::nullopt;
    const std::wstring exe = ExecutableOf(command);
    return exe.empty() ? std::nullopt : ForExecutable(exe);
}

std::optional<ProcessMeter> ProcessMeter::ForExecutable(const std::wstring& exePath) {
    ProcessMeter meter;
    if (RunningUnderWine()) {
        meter.unixPid_ = TheServer(LinuxProcessesRunning(exePath));
        if (!meter.unixPid_) return std::nullopt;
        meter.hostPid_ = OurWineserver();
        return meter;
    }
    const std::wstring wanted = Canonical(exePath);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    int matches = 0;
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, FileNameOf(wanted).c_str()) != 0) continue;
        HANDLE process =
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (!process) continue;
        wchar_t path[MAX_PATH * 2];
        DWORD length = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, path, &length) && Canonical(path) == wanted &&
            ++matches == 1) {
            meter.process_ = process;
            continue;
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    if (matches != 1) return std::nullopt;  // none, or no telling which (meter closes it)
    return meter;
}

// Wine answers GetProcessTimes for the calling process itself with real figures (only other
// processes' are frozen), and /proc/self would name the wineserver, which opens the files.
std::optional<ProcessMeter> ProcessMeter::ForThisProcess() {
    ProcessMeter meter;
    meter.process_ = GetCurrentProcess();  // the pseudo-handle: closing it does nothing
    return meter;
}

ProcessMeter::ProcessMeter(ProcessMeter&& other) noexcept
    : process_(other.process_),
      unixPid_(other.unixPid_),
      hostPid_(other.hostPid_),
      threads_(std::move(other.threads_)),
      hostThreads_(std::move(other.hostThreads_)) {
    other.process_ = nullptr;
}

ProcessMeter& ProcessMeter::operator=(ProcessMeter&& other) noexcept {
    if (this != &other) {
        if (process_) CloseHandle(process_);
        process_ = other.process_;
        unixPid_ = other.unixPid_;
        hostPid_ = other.hostPid_;
        threads_ = std::move(other.threads_);
        hostThreads_ = std::move(other.hostThreads_);
        other.process_ = nullptr;
    }
    return *this;
}

ProcessMeter::~ProcessMeter() {
    if (process_) CloseHandle(process_);
}

ProcessUsage ProcessMeter::Read() const {
    ProcessUsage usage;
    if (unixPid_) {
        usage.cpuSeconds = static_cast<double>(LinuxCpuNanoseconds(unixPid_, threads_)) / 1e9;
        if (hostPid_)
            usage.hostCpuSeconds =
                static_cast<double>(LinuxCpuNanoseconds(hostPid_, hostThreads_)) / 1e9;
        const std::string status =
            ReadWholeFile(std::string(kProc) + "\\" + std::to_string(unixPid_) + "\\status");
        usage.memoryBytes = StatusKilobytes(status, "VmRSS:");
        usage.peakMemoryBytes = StatusKilobytes(status, "VmHWM:");
        usage.privateBytes = StatusKilobytes(status, "RssAnon:");
        usage.threads = static_cast<unsigned>(StatusKilobytes(status, "Threads:") / 1024);
        return usage;
    }
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(process_, &created, &exited, &kernel, &user))
        usage.cpuSeconds = Seconds(kernel) + Seconds(user);
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process_, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        usage.memoryBytes = counters.WorkingSetSize;
        usage.peakMemoryBytes = counters.PeakWorkingSetSize;
        usage.privateBytes = counters.PrivateUsage;
    }
    usage.threads = CountThreads(GetProcessId(process_));
    return usage;
}
