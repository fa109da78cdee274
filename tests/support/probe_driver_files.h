// Files for tests that load the probe driver: a scratch directory per test, copies of the
// probe DLL under any name with their configuration, the driver list, and the call log.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }

  private:
    std::string path_;
};

// The directory of the running test program (where the probe DLLs are built).
std::string TestProgramDirectory();
// A file of the build: `name` in the test program's directory, or `name` itself when it is a
// path (the other bitness's build, for one).
std::string BuiltFile(const std::string& name);

void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);

// Copies `builtDll` (e.g. "probe_driver.dll", see BuiltFile) from the build to `path`, with
// `config` as its configuration beside it; returns `path`.
std::string InstallProbe(const std::string& path, const std::string& config,
                         const std::string& builtDll = "probe_driver.dll");

// One recorded entry-point call.
struct ProbeCall {
    long sequence;
    bool entering;
    std::string entry;
    std::string args;
    unsigned long thread;
};
std::vector<ProbeCall> ReadProbeLog(const std::string& dllPath);
// Entries (on entry) of the given name.
size_t CountCalls(const std::vector<ProbeCall>& log, const std::string& entry);
// The client count the probe holds for the tag named `tagName` after the last count update
// in the log (DLLSetObjectInfo, or DLLChangeClientCount where the probe has it); 0 if none.
unsigned long LastClientCount(const std::vector<ProbeCall>& log, const std::string& tagName);
// The largest number of calls among `entries` in progress at one moment.
int MaxOverlap(const std::vector<ProbeCall>& log, const std::vector<std::string>& entries);
