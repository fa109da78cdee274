// Text output that survives any console: UTF-16 to a real console, UTF-8 to pipes and files
// (and to Wine's terminal), so Cyrillic names and vendor texts arrive readable.
#pragma once

#include <string>

void WriteOut(const std::wstring& text);
void WriteErr(const std::wstring& text);
