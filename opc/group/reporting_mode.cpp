#include "reporting_mode.h"

#include <atomic>

namespace {
std::atomic<ReportingMode> g_reportingMode{ReportingMode::kEveryItem};
}

ReportingMode CurrentReportingMode() noexcept {
    return g_reportingMode.load(std::memory_order_relaxed);
}

void SetReportingMode(ReportingMode mode) noexcept {
    g_reportingMode.store(mode, std::memory_order_relaxed);
}
