#include "modbus_connection.h"

#include <ws2tcpip.h>
#include <algorithm>

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

// Waits until `s` can be read (or written), at most until `deadline`.
bool WaitFor(SOCKET s, bool write, ULONGLONG deadline) {
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

const wchar_t* FailureText(Connection::Status status) {
    switch (status) {
        case Connection::Status::kTimeout:
            return L"Устройство не ответило за время ожидания.";
        case Connection::Status::kUnreachable:
            return L"Нет соединения с устройством.";
        case Connection::Status::kBroken:
            return L"Устройство закрыло соединение или прислало не Modbus TCP.";
        default:
            return L"";
    }
}

}  // namespace

Connection::Connection(std::string host, uint16_t port, uint8_t unit, DWORD timeoutMs,
                       LinkRecorder record)
    : host_(std::move(host)), port_(port), unit_(unit), timeoutMs_(timeoutMs), record_(record) {}

Connection::~Connection() {
    Close();
}

void Connection::Close() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        record_([](LinkCounters& c) { c.connected = false; });
    }
    socket_ = INVALID_SOCKET;
    reader_.Clear();
}

Connection::Status Connection::Fail(Status status) {
    Close();
    record_([status](LinkCounters& c) {
        if (status == Status::kTimeout) ++c.timeouts;
        c.lastError = FailureText(status);
    });
    if (status == Status::kUnreachable) {
        backoffMs_ = backoffMs_ ? std::min(backoffMs_ * 2, kLongestBackoffMs) : kFirstBackoffMs;
        retryAfter_ = GetTickCount64() + backoffMs_;
    }
    return status;
}

Connection::Status Connection::Open() {
    if (GetTickCount64() < retryAfter_) return Status::kUnreachable;
    if (!StartWinsock()) return Fail(Status::kUnreachable);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(port_);
    if (getaddrinfo(host_.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return Fail(Status::kUnreachable);
    socket_ = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (socket_ == INVALID_SOCKET) {
        freeaddrinfo(found);
        return Fail(Status::kUnreachable);
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    const int connected = connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (connected != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK ||
            !WaitFor(socket_, true, GetTickCount64() + timeoutMs_))
            return Fail(Status::kUnreachable);
        int error = 0;
        int size = sizeof(error);
        getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        if (error != 0) return Fail(Status::kUnreachable);
    }
    BOOL noDelay = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof(noDelay));
    backoffMs_ = 0;
    const bool again = everOpened_;
    everOpened_ = true;
    record_([again](LinkCounters& c) {
        c.connected = true;
        if (again) ++c.reconnects;
    });
    return Status::kOk;
}

Connection::Status Connection::Transact(const Bytes& request, Bytes& answer) {
    if (!IsOpen()) {
        const Status opened = Open();
        if (opened != Status::kOk) return opened;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs_;
    const ULONGLONG sentAt = GetTickCount64();
    const uint16_t transaction = ++transaction_;
    record_([](LinkCounters& c) { ++c.requests; });
    const Bytes frame = Frame(transaction, unit_, request);
    size_t sent = 0;
    while (sent < frame.size()) {
        const int n = send(socket_, reinterpret_cast<const char*>(frame.data() + sent),
                           static_cast<int>(frame.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return Fail(Status::kBroken);
        } else if (!WaitFor(socket_, true, deadline)) {
            return Fail(Status::kTimeout);
        }
    }
    for (;;) {
        Adu adu;
        switch (reader_.Take(adu)) {
            case FrameReader::Result::kFrame:
                // An answer to an earlier request that timed out is passed over.
                if (adu.transaction != transaction) continue;
                answer = std::move(adu.pdu);
                Answered(answer, sentAt);
                return Status::kOk;
            case FrameReader::Result::kCorrupt:
                record_([](LinkCounters& c) { ++c.frameErrors; });
                return Fail(Status::kBroken);
            case FrameReader::Result::kNeedMore:
                break;
        }
        if (!WaitFor(socket_, false, deadline)) return Fail(Status::kTimeout);
        uint8_t buffer[512];
        const int n = recv(socket_, reinterpret_cast<char*>(buffer), sizeof(buffer), 0);
        if (n > 0)
            reader_.Append(buffer, static_cast<size_t>(n));
        else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            return Fail(Status::kBroken);
    }
}

// An exception answer is an answer, but not a good one: the device could not do what was asked.
void Connection::Answered(const Bytes& answer, ULONGLONG sentAt) {
    const auto roundTrip = static_cast<uint32_t>(GetTickCount64() - sentAt);
    const bool exception = answer.size() >= 2 && (answer[0] & 0x80) != 0;
    const uint8_t code = exception ? answer[1] : 0;
    FILETIME now{};
    if (!exception) GetSystemTimeAsFileTime(&now);
    record_([&](LinkCounters& c) {
        ++c.answers;
        c.lastRoundTripMs = roundTrip;
        if (exception) {
            ++c.exceptions[code >= 1 && code <= 11 ? code : 0];
            c.lastError = L"Устройство ответило исключением " + std::to_wstring(code) + L".";
        } else {
            c.lastGoodAnswer = now;
        }
    });
}

}  // namespace modbus
