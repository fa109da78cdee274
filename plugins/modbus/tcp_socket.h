// The driver's TCP sockets: a non-blocking connection within a time limit, and waiting for one
// to become readable or writable, for Modbus TCP and for RTU gateways alike.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <string>

namespace modbus {

// A connected, non-blocking socket with Nagle off, or INVALID_SOCKET.
SOCKET ConnectTcp(const std::string& host, uint16_t port, DWORD timeoutMs);
// Waits until `s` can be read (or written), at most until `deadline` (GetTickCount64).
bool WaitSocket(SOCKET s, bool write, ULONGLONG deadline);
// Sends all of `size` bytes before `deadline`; false when the socket failed or the time ran out.
bool SendAll(SOCKET s, const uint8_t* data, size_t size, ULONGLONG deadline, bool& timedOut);

}  // namespace modbus
