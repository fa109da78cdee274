// The identifiers of our server: its class, AppID and type library, and the ProgIDs.
#pragma once

#include <windows.h>

// {02A8812F-C96F-48D3-B28D-BBAB14D6EE85}
constexpr CLSID kServerClsid = {
    0x02A8812F, 0xC96F, 0x48D3, {0xB2, 0x8D, 0xBB, 0xAB, 0x14, 0xD6, 0xEE, 0x85}};
constexpr const char* kServerClsidText = "{02A8812F-C96F-48D3-B28D-BBAB14D6EE85}";
// {8A46C01B-C8C7-4202-BD5C-A05489E60FDA}
constexpr const char* kServerAppIdText = "{8A46C01B-C8C7-4202-BD5C-A05489E60FDA}";
// {47603339-512E-4D34-A5E9-1A7402053255}
constexpr const char* kServerLibIdText = "{47603339-512E-4D34-A5E9-1A7402053255}";

constexpr const char* kServerProgId = "OPCServerVEXA.OPCServer";
constexpr const char* kServerVersionedProgId = "OPCServerVEXA.OPCServer.1";
