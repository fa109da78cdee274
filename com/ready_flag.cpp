#include "ready_flag.h"

#include <windows.h>
#include <atomic>

namespace {
std::atomic<long> g_ready{0};
}

void SetApplicationReady() noexcept {
    g_ready.store(1);
}

bool ApplicationReady() noexcept {
    return g_ready.load() == 1;
}

void WaitForApplicationReady() noexcept {
    while (!ApplicationReady()) Sleep(10);
}
