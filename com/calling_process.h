// The client process behind the COM call a thread is serving. A server must notice a client's
// death itself under Wine, which has no COM pinging: the references a killed client held (or
// one that failed to unmarshal what it was given) would keep the server's objects, and its
// process, alive for ever.
#pragma once

#include <windows.h>

#include "win_handle.h"

// That process, opened for waiting on its end; empty outside a call from another process of
// this machine (an in-process caller, a remote one, or a platform that cannot tell).
UniqueHandle OpenCallingProcess() noexcept;

// True once `process` (a handle from OpenCallingProcess) has ended; false for an empty one.
bool ProcessEnded(const UniqueHandle& process) noexcept;
