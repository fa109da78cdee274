#include "tcp_socket.h"

#include <ws2tcpip.h>

namespace modbus {

namespace {

// Winsock for the process, started once on first use and never ended (a driver DLL cannot
// know when the last user has gone; the system ends it with the process).
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

bool WaitSocket(SOCKET s, bool write, ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const ULONGLONG left = deadline - now;
    fd_set set, errors;
    FD_ZERO(&set);
    FD_ZERO(&errors);
    FD_SET(s, &set);
    FD_SET(s, &errors);
    timeval limit{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
    const int ready = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &limit);
    return ready > 0 && FD_ISSET(s, &set);
}

SOCKET ConnectTcp(const std::string& host, uint16_t port, DWORD timeoutMs) {
    if (!StartWinsock()) return INVALID_SOCKET;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return INVALID_SOCKET;
    SOCKET s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (s == INVALID_SOCKET) {
        freeaddrinfo(found);
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const int connected = connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (connected != 0) {
        int error = 0;
        int size = sizeof(error);
        if (WSAGetLastError() != WSAEWOULDBLOCK ||
            !WaitSocket(s, true, GetTickCount64() + timeoutMs) ||
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
            error != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof(noDelay));
    return s;
}

bool SendAll(SOCKET s, const uint8_t* data, size_t size, ULONGLONG deadline, bool& timedOut) {
    timedOut = false;
    size_t sent = 0;
    while (sent < size) {
        const int n =
            send(s, reinterpret_cast<const char*>(data + sent), static_cast<int>(size - sent), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return false;
        } else if (!WaitSocket(s, true, deadline)) {
            timedOut = true;
            return false;
        }
    }
    return true;
}

}  // namespace modbus
