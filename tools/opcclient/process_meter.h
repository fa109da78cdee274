// What a server process has used: CPU time over all its threads and its memory, read from
// outside the process, for the benchmarks.
//
// On Windows the process's own counters answer (GetProcessTimes, GetProcessMemoryInfo). Wine
// hands another process's counters out as they were when it started, so under Wine the
// figures come from the Linux process behind it instead (/proc through the Z: drive), and
// the wineserver's CPU time is read too: under Wine it serves every kernel-object call, so
// it belongs to what a server costs.
#pragma once

#include <windows.h>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

struct ProcessUsage {
    double cpuSeconds = 0;      // user and kernel time of all threads
    double hostCpuSeconds = 0;  // the wineserver's, under Wine; 0 elsewhere
    uint64_t memoryBytes = 0;   // resident now
    uint64_t peakMemoryBytes = 0;
    uint64_t privateBytes = 0;  // its own memory: private bytes; under Wine, resident anonymous
    unsigned threads = 0;
};

class ProcessMeter {
  public:
    // The running process of the local server registered for `clsid` (found by the full path
    // of its LocalServer32 executable); nullopt when none can be found or read.
    static std::optional<ProcessMeter> ForServer(const CLSID& clsid);
    // The process running the executable `exePath` (a full Windows path): under Wine one of
    // this Wine prefix only, since another prefix may run the same file; the one COM started
    // when the program also runs by hand. nullopt when there is none or no telling which.
    static std::optional<ProcessMeter> ForExecutable(const std::wstring& exePath);
    // This process (a client measuring its own share).
    static std::optional<ProcessMeter> ForThisProcess();

    ProcessMeter(ProcessMeter&&) noexcept;
    ProcessMeter& operator=(ProcessMeter&&) noexcept;
    ~ProcessMeter();

    ProcessUsage Read() const;
    bool UnderWine() const { return unixPid_ != 0; }
    // The process, for counters of its own (Windows only; null under Wine).
    HANDLE ProcessHandle() const { return process_; }

  private:
    ProcessMeter() = default;

    HANDLE process_ = nullptr;   // on Windows
    unsigned long unixPid_ = 0;  // under Wine
    unsigned long hostPid_ = 0;  // the wineserver, under Wine
    // The CPU time each thread had when last seen, under Wine (see Read).
    mutable std::map<std::string, uint64_t> threads_, hostThreads_;
};

// True when running under Wine.
bool RunningUnderWine();
