#include "probe_driver_files.h"

#include <algorithm>
#include <sstream>

namespace {

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    static volatile LONG counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "opc-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(InterlockedIncrement(&counter));
    RemoveTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() {
    RemoveTree(path_);
}

std::string TestProgramDirectory() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path);
    return p.substr(0, p.find_last_of('\\'));
}

void WriteTextFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadTextFile(const std::string& path) {
    std::string text;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

std::string BuiltFile(const std::string& name) {
    return name.find('\\') != std::string::npos ? name : TestProgramDirectory() + "\\" + name;
}

std::string InstallProbe(const std::string& path, const std::string& config,
                         const std::string& builtDll) {
    CopyFileA(BuiltFile(builtDll).c_str(), path.c_str(), FALSE);
    WriteTextFile(path + ".txt", config);
    return path;
}

std::vector<ProbeCall> ReadProbeLog(const std::string& dllPath) {
    std::vector<ProbeCall> calls;
    std::stringstream in(ReadTextFile(dllPath + ".log"));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string part; std::getline(fields, part, '|');) f.push_back(part);
        if (f.size() < 5) continue;
        calls.push_back({std::stol(f[0]), f[1] == ">", f[2], f[3], std::stoul(f[4])});
    }
    std::sort(calls.begin(), calls.end(),
              [](const ProbeCall& a, const ProbeCall& b) { return a.sequence < b.sequence; });
    return calls;
}

size_t CountCalls(const std::vector<ProbeCall>& log, const std::string& entry) {
    return std::count_if(log.begin(), log.end(),
                         [&](const ProbeCall& c) { return c.entering && c.entry == entry; });
}

int MaxOverlap(const std::vector<ProbeCall>& log, const std::vector<std::string>& entries) {
    int active = 0, most = 0;
    for (const ProbeCall& c : log) {
        if (std::find(entries.begin(), entries.end(), c.entry) == entries.end()) continue;
        active += c.entering ? 1 : -1;
        most = std::max(most, active);
    }
    return most;
}

unsigned long LastClientCount(const std::vector<ProbeCall>& log, const std::string& tagName) {
    long lastSequence = -1;
    unsigned long count = 0;
    for (const ProbeCall& c : log) {
        // Entry of a record write (its CLIENTS), exit of a count change (its result).
        const bool set = c.entering && c.entry == "DLLSetObjectInfo";
        const bool change = !c.entering && c.entry == "DLLChangeClientCount";
        if ((!set && !change) || c.sequence < lastSequence) continue;
        const size_t first = c.args.find(',');
        const size_t last = c.args.rfind(set ? "," : "=>");
        if (first == std::string::npos || last == std::string::npos) continue;
        std::string name = c.args.substr(first + 1);
        name = name.substr(0, name.rfind(','));
        if (name != tagName) continue;
        lastSequence = c.sequence;
        count = std::stoul(c.args.substr(last + (set ? 1 : 2)));
    }
    return count;
}
