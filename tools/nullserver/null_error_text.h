// The null server's texts for the OPC codes it answers with, in English. Other codes have no
// text here: a client falls back on the system's, as it does with many servers.
#pragma once

#include <windows.h>

// E_INVALIDARG for a code without a text, E_POINTER for a null `text`.
HRESULT NullErrorText(HRESULT code, LPWSTR* text) noexcept;
