// Error texts for clients: the system's message for a code, or a fixed Russian text when the
// system has none (the OPC codes among them).
#pragma once

#include <windows.h>

// A CoTaskMemAlloc'ed UTF-16 text; E_OUTOFMEMORY when it cannot be allocated.
HRESULT ErrorText(HRESULT code, LPWSTR* text) noexcept;
