// The null server's identifiers: a class of its own, in no OPC category, so that server
// listings never offer it to someone looking for a real server.
#pragma once

#include <windows.h>

// {7ECEDB4B-6A7D-4093-9406-B8C9FA77A10C}
constexpr CLSID kNullServerClsid = {
    0x7ECEDB4B, 0x6A7D, 0x4093, {0x94, 0x06, 0xB8, 0xC9, 0xFA, 0x77, 0xA1, 0x0C}};
constexpr const char* kNullServerProgId = "OPCNullServer.Bench.1";
constexpr const char* kNullServerVersionIndependentProgId = "OPCNullServer.Bench";
