// Identity of the marshaling probe: a small local server used only by the tests, so that
// every parameter shape of the OPC interfaces is proved through our proxy/stub DLLs.
#pragma once

#include "opc.h"

// {371640C5-FD65-4633-9975-928AC77412B2}
constexpr CLSID CLSID_MarshalProbe = {
    0x371640C5, 0xFD65, 0x4633, {0x99, 0x75, 0x92, 0x8A, 0xC7, 0x74, 0x12, 0xB2}};
constexpr const wchar_t* kProbeClsidKey = L"CLSID\\{371640C5-FD65-4633-9975-928AC77412B2}";
constexpr const wchar_t* kProbeProgId = L"OPCServerVEXA.MarshalProbe";

// What the probe hands out, known to both sides.
constexpr LCID kProbeDefaultLocale = 1049;
constexpr OPCHANDLE kProbeGroupHandleBase = 0x1000;
constexpr LONG kProbeTimeBiasNotGiven = 7777;
constexpr FLOAT kProbeDeadbandNotGiven = -1.0f;
constexpr const wchar_t* kProbeVendor = L"ВЕКСА: проверочный сервер";
constexpr const wchar_t* kProbeShutdownPrefix = L"Сервер останавливается: ";
constexpr const wchar_t* kProbeContinuation = L"дальше";

inline FILETIME ProbeTime(DWORD n) {
    return FILETIME{0x10000000u + n, 0x01D9A000u + n};
}
