#include "configuration_status.h"

#include "ansi_text.h"
#include "sync.h"

namespace {

CriticalSection g_lock;
std::wstring g_problem;  // guarded by g_lock

const wchar_t* Reason(LoadOutcome outcome) {
    switch (outcome) {
        case LoadOutcome::Missing:
            return L"the file does not exist";
        case LoadOutcome::InUse:
            return L"another program kept it open for writing";
        case LoadOutcome::Unreadable:
            return L"the file cannot be read";
        case LoadOutcome::Damaged:
            return L"the file is no configuration file or is damaged";
        case LoadOutcome::Loaded:
        case LoadOutcome::NotNamed:
            break;
    }
    return L"unknown reason";
}

}  // namespace

void RecordConfigurationProblem(const std::string& path, LoadOutcome outcome) {
    std::wstring problem =
        L"Configuration " + AnsiToWide(path) + L" not loaded: " + Reason(outcome);
    CriticalSectionLock lock(g_lock);
    g_problem.swap(problem);
}

void ClearConfigurationProblem() noexcept {
    std::wstring none;
    CriticalSectionLock lock(g_lock);
    g_problem.swap(none);
}

std::wstring ConfigurationProblem() {
    CriticalSectionLock lock(g_lock);
    return g_problem;
}
