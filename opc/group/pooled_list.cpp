#include "pooled_list.h"

#include <atomic>

OPCHANDLE NextPooledListBase() noexcept {
    // 4095 bases; a list's handles are base + 1 .. base + 2^20 - 1, never 0.
    static std::atomic<uint32_t> next{0};
    constexpr uint32_t kBases = (1u << (32 - PooledList<int>::kSlotBits)) - 1;
    return ((next++ % kBases) + 1) << PooledList<int>::kSlotBits;
}
