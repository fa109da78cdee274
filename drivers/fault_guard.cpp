#include "fault_guard.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "thread_slot.h"

namespace {

struct RecoveryPoint {
    void* jump[5];         // __builtin_setjmp's buffer
    std::uintptr_t stack;  // where the recovery runs: below the contained call's own frame
    DWORD code;
    RecoveryPoint* outer;
};

ThreadSlot<RecoveryPoint*> g_recovery;  // the innermost contained call of the thread

bool IsFault(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_STACK_OVERFLOW:
            return true;
        default:
            return false;
    }
}

[[noreturn]] void Recover() {
    __builtin_longjmp(g_recovery.Get()->jump, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* exception) {
    RecoveryPoint* point = g_recovery.Get();
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (!point || !IsFault(code)) return EXCEPTION_CONTINUE_SEARCH;
    point->code = code;
    // The recovery gets a stack of its own below the contained call's frame (the driver's
    // frames there are dead), so that it also runs after a stack overflow. Aligned as right
    // after a call instruction.
    const std::uintptr_t stack = point->stack & ~std::uintptr_t{15};
#if defined(_WIN64)
    exception->ContextRecord->Rsp = stack - 8;
    exception->ContextRecord->Rip = reinterpret_cast<DWORD64>(&Recover);
#else
    exception->ContextRecord->Esp = stack - 4;
    exception->ContextRecord->Eip = reinterpret_cast<DWORD>(&Recover);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// The CRT calls this from abort(), on the aborting thread, before it ends the process.
void OnAbort(int) {
    // The CRT resets the handler before calling it.
    signal(SIGABRT, OnAbort);
    RecoveryPoint* point = g_recovery.Get();
    if (!point) return;  // not inside a driver: abort() goes on and ends the process
    point->code = kDriverAborted;
    Recover();
}

bool InstallHandlers() {
    AddVectoredExceptionHandler(1, OnException);
    signal(SIGABRT, OnAbort);
    _set_error_mode(_OUT_TO_STDERR);
    return true;
}

struct RecoveryReset {
    RecoveryPoint* outer;
    ~RecoveryReset() { g_recovery.Set(outer); }
};

}  // namespace

__attribute__((noinline)) DWORD CallContainingFaults(void (*call)(void*), void* context) {
    // First in line: a fault inside a driver must not reach a handler of the platform's
    // (an RPC worker's, say) that would swallow it with our locks still held.
    static const bool installed = InstallHandlers();
    (void)installed;
    RecoveryPoint point{};
    point.outer = g_recovery.Get();
    // Well below this frame's own few variables, within the callee frames given up.
    point.stack = reinterpret_cast<std::uintptr_t>(&point) - 1024;
    if (__builtin_setjmp(point.jump) != 0) {
        g_recovery.Set(point.outer);
        return point.code;
    }
    g_recovery.Set(&point);
    RecoveryReset reset{point.outer};
    call(context);
    return 0;
}
