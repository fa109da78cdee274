// Containment of structured exceptions (access violations, divisions by zero, stack
// overflows...) raised inside a driver, so that a faulting driver costs its own calls and
// not the whole server.
//
// GCC has no __try. A vectored exception handler, installed once, looks at every fault of the
// process; on a thread that is inside CallContainingFaults it redirects the faulting thread
// to a recovery function, which jumps back (__builtin_longjmp: registers only, nothing is
// unwound) to the point where the call began, and that call returns the fault's code. The
// frames of the driver are abandoned as they are: a driver that faulted is never called
// again. The same works on x86_64 and i686, whatever exception model the compiler uses.
//
// Only hardware faults are taken, and only on a thread inside a contained call; C++
// exceptions pass on to their handlers. A driver that raises and handles such faults itself
// on purpose (probing memory under its own __try) is treated as faulted as well.
//
// A driver that calls abort() inside a contained call is taken the same way, with the code
// kDriverAborted, instead of ending the process. In the 32-bit build this is also what a C++
// exception leaving a driver's entry point comes to: GCC's i686 exception model cannot unwind
// from one module into another, so the throw ends in std::terminate and abort() inside the
// driver. The CRT's abort message goes to standard error, never to a message box that would
// stop the thread.
#pragma once

#include <windows.h>

// STATUS_FATAL_APP_EXIT: what an abort() ends a Windows process with.
constexpr DWORD kDriverAborted = 0x40000015;

// Runs `call(context)` and returns 0, or the code of the structured exception that ended it.
// A C++ exception thrown by `call` passes through.
DWORD CallContainingFaults(void (*call)(void*), void* context);

template <class Call>
DWORD ContainFaults(Call& call) {
    return CallContainingFaults([](void* c) { (*static_cast<Call*>(c))(); }, &call);
}
