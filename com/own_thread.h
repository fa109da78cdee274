// Threads of the server's own that never run driver code (the cycle scheduler's, a
// transaction's) reserve a small stack rather than the executable's default of 2 MB: the
// groups and pending transactions a process may hold (COPCGroup::kMaxGroups,
// kMaxPendingTransactions) must fit the address space of the 32-bit build as well. A driver's
// calls keep the default on the driver's own threads.
#pragma once

#include <windows.h>

constexpr SIZE_T kOwnThreadStackBytes = 256 * 1024;

inline HANDLE CreateOwnThread(LPTHREAD_START_ROUTINE proc, void* argument) noexcept {
    return CreateThread(nullptr, kOwnThreadStackBytes, proc, argument,
                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}
