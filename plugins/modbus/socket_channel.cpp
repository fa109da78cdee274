#include "socket_channel.h"

#include "tcp_socket.h"

namespace modbus {

bool SocketChannel::Open(DWORD timeoutMs) {
    socket_ = ConnectTcp(host_, port_, timeoutMs);
    return socket_ != INVALID_SOCKET;
}

void SocketChannel::Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
}

bool SocketChannel::Send(const Bytes& bytes, DWORD timeoutMs) {
    bool timedOut = false;
    return socket_ != INVALID_SOCKET &&
           SendAll(socket_, bytes.data(), bytes.size(), GetTickCount64() + timeoutMs, timedOut);
}

int SocketChannel::Receive(uint8_t* buffer, size_t size, DWORD waitMs) {
    if (socket_ == INVALID_SOCKET) return -1;
    if (!WaitSocket(socket_, false, GetTickCount64() + waitMs)) return 0;
    const int n = recv(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (n > 0) return n;
    return n < 0 && WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void SocketChannel::Discard() {
    uint8_t buffer[256];
    while (socket_ != INVALID_SOCKET && WaitSocket(socket_, false, GetTickCount64() + 1) &&
           recv(socket_, reinterpret_cast<char*>(buffer), sizeof(buffer), 0) > 0) {
    }
}

}  // namespace modbus
