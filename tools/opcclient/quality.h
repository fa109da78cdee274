// Quality words as text: "good", "bad: not connected", "uncertain: last usable value, low
// limited".
#pragma once

#include <windows.h>
#include <string>

// "good", "uncertain" or "bad" (or "invalid" for the undefined 0x80 quality).
std::wstring QualityName(WORD quality);
// The name with its substatus and limit, when they say anything.
std::wstring QualityText(WORD quality);
