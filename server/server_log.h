// The server's log: what a user must be able to find out after the fact, such as a default
// configuration that did not load. Lines go to "OPCServerVEXA.log" beside the executable (UTF-8,
// appended to by every server process, each line with its time and process id) and to the
// debugger's output, which a viewer such as DebugView shows when the executable's directory
// is not writable.
#pragma once

#include <string>

void WriteServerLog(const std::wstring& text) noexcept;
