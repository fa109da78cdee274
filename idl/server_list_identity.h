// The OPC server list object: the server-discovery class clients create by name on a machine
// (the OPC Foundation's, or ours where there is none), and its ProgIDs.
#pragma once

#include <windows.h>

constexpr CLSID CLSID_OpcServerList = {
    0x13486D51, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};
constexpr const wchar_t* OPC_SERVER_LIST_PROGID = L"OPC.ServerList.1";
constexpr const wchar_t* OPC_SERVER_LIST_VERSION_INDEPENDENT_PROGID = L"OPC.ServerList";
