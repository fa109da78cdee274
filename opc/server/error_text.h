// Error texts for clients: ours for the OPC codes (the message table in the executable, in
// Russian or English), the system's for the others, and a fixed Russian text for a code that
// neither describes.
#pragma once

#include <windows.h>

// The text for `code` as a CoTaskMemAlloc'ed UTF-16 string; E_OUTOFMEMORY when it cannot be
// allocated. Our texts come in Russian for a Russian locale, in English for every other.
HRESULT ErrorText(HRESULT code, LCID locale, LPWSTR* text) noexcept;
