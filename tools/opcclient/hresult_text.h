// Result codes as text for people: the hex code and what the system says about it.
#pragma once

#include <windows.h>
#include <string>

// 0xC0040008 style.
std::wstring HexCode(HRESULT code);
// "0xC0040006 OPC_E_BADRIGHTS": the hex code with its symbolic name when it is one of the
// OPC codes or a common COM code (OPC servers often describe their codes poorly).
std::wstring CodeWithName(HRESULT code);
// The system's message for a code, without the trailing line break; empty if it has none.
std::wstring SystemErrorText(HRESULT code);
// "0x80040154 REGDB_E_CLASSNOTREG Class not registered": what failure lines show for a failed call.
std::wstring DescribeFailure(HRESULT code);
