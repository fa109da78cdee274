#include "modbus_connection.h"

#include "tcp_socket.h"

namespace modbus {

Connection::Connection(std::string host, uint16_t port, uint8_t unit, DWORD timeoutMs)
    : host_(std::move(host)), port_(port), unit_(unit), timeoutMs_(timeoutMs) {}

Connection::~Connection() {
    Close();
}

void Connection::Close() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = INVALID_SOCKET;
    reader_.Clear();
}

Connection::Status Connection::Fail(Status status) {
    Close();
    if (status == Status::kUnreachable) backoff_.Failed();
    return status;
}

Connection::Status Connection::Open(DWORD timeoutMs) {
    if (backoff_.Waiting()) return Status::kUnreachable;
    socket_ = ConnectTcp(host_, port_, timeoutMs);
    if (socket_ == INVALID_SOCKET) return Fail(Status::kUnreachable);
    backoff_.Succeeded();
    return Status::kOk;
}

Connection::Status Connection::Transact(uint8_t unit, const Bytes& request, Bytes& answer,
                                        DWORD timeoutMs) {
    if (!IsOpen()) {
        const Status opened = Open(timeoutMs);
        if (opened != Status::kOk) return opened;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const uint16_t transaction = ++transaction_;
    const Bytes frame = Frame(transaction, unit, request);
    bool timedOut = false;
    if (!SendAll(socket_, frame.data(), frame.size(), deadline, timedOut))
        return Fail(timedOut ? Status::kTimeout : Status::kBroken);
    for (;;) {
        Adu adu;
        switch (reader_.Take(adu)) {
            case FrameReader::Result::kFrame:
                // An answer to an earlier request that timed out is passed over.
                if (adu.transaction != transaction) continue;
                answer = std::move(adu.pdu);
                return Status::kOk;
            case FrameReader::Result::kCorrupt:
                return Fail(Status::kBadFrame);
            case FrameReader::Result::kNeedMore:
                break;
        }
        if (!WaitSocket(socket_, false, deadline)) return Fail(Status::kTimeout);
        uint8_t buffer[512];
        const int n = recv(socket_, reinterpret_cast<char*>(buffer), sizeof(buffer), 0);
        if (n > 0)
            reader_.Append(buffer, static_cast<size_t>(n));
        else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return Fail(Status::kBroken);
    }
}

}  // namespace modbus
