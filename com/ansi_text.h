// ANSI (system code page) strings inside the server and at the driver boundary, UTF-16 at COM
// interfaces: the conversions, and the few Win32 path queries that answer in ANSI.
#pragma once

#include <windows.h>
#include <string>

std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
// The same for a zero-terminated string (null is the empty string).
std::string WideToAnsi(const wchar_t* text);

// Full path of a module (no length limit), "" on failure.
std::string ModuleFileName(HMODULE module);
// Short (8.3) form of a path, "" when the system has none.
std::string ShortPathName(const std::string& path);
