// The driver's connection to a device, against a small device of the test's own on this
// machine that misbehaves on request: answers in single bytes, an old answer first, no answer
// at all, a closed connection, bytes that are not Modbus TCP, and no device at all.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <thread>

#include "modbus_connection.h"

using namespace modbus;

namespace {

enum class Behaviour { kAnswer, kInPieces, kOldAnswerFirst, kSilent, kHangUp, kGarbage };

// A device on 127.0.0.1 that answers every holding-register read with registers whose values
// are their addresses, as `behaviour` says.
class FakeDevice {
  public:
    FakeDevice() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int size = sizeof(address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDevice() {
        stop_ = true;
        closesocket(listener_);
        thread_.join();
        WSACleanup();
    }
    uint16_t Port() const { return port_; }
    std::atomic<Behaviour> behaviour{Behaviour::kAnswer};
    std::atomic<int> connections{0};

  private:
    void Serve() {
        while (!stop_) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            ++connections;
            FrameReader reader;
            uint8_t buffer[256];
            int n;
            while ((n = recv(client, reinterpret_cast<char*>(buffer), sizeof(buffer), 0)) > 0) {
                reader.Append(buffer, static_cast<size_t>(n));
                Adu request;
                if (reader.Take(request) != FrameReader::Result::kFrame) continue;
                if (!Respond(client, request)) break;
            }
            closesocket(client);
        }
    }

    bool Respond(SOCKET client, const Adu& request) {
        const uint16_t address = static_cast<uint16_t>((request.pdu[1] << 8) | request.pdu[2]);
        const uint16_t count = static_cast<uint16_t>((request.pdu[3] << 8) | request.pdu[4]);
        Bytes pdu{3, static_cast<uint8_t>(count * 2)};
        for (uint16_t i = 0; i < count; ++i) {
            pdu.push_back(static_cast<uint8_t>((address + i) >> 8));
            pdu.push_back(static_cast<uint8_t>((address + i) & 0xFF));
        }
        const Bytes answer = Frame(request.transaction, request.unit, pdu);
        auto sendAll = [&](const Bytes& b) {
            send(client, reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()), 0);
        };
        switch (behaviour.load()) {
            case Behaviour::kAnswer:
                sendAll(answer);
                return true;
            case Behaviour::kInPieces:
                for (uint8_t byte : answer) {
                    sendAll(Bytes{byte});
                    Sleep(2);
                }
                return true;
            case Behaviour::kOldAnswerFirst:
                sendAll(Frame(static_cast<uint16_t>(request.transaction - 1), request.unit,
                              {3, 2, 0xDE, 0xAD}));
                sendAll(answer);
                return true;
            case Behaviour::kSilent:
                return true;
            case Behaviour::kHangUp:
                return false;
            case Behaviour::kGarbage:
                sendAll(Bytes{'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0'});
                return true;
        }
        return true;
    }

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Connection::Status ReadThree(Connection& c, uint16_t address, std::vector<uint16_t>& registers) {
    Bytes answer;
    const Connection::Status status =
        c.Transact(ReadRequest(Table::kHoldingRegister, address, 3), answer);
    if (status == Connection::Status::kOk)
        registers = ParseReadAnswer(answer, Table::kHoldingRegister, 3).registers;
    return status;
}

}  // namespace

TEST(ModbusConnection, AnswersArriveWhateverPiecesAndOldAnswersComeFirst) {
    FakeDevice device;
    Connection c("127.0.0.1", device.Port(), 1, 2000);
    std::vector<uint16_t> registers;
    ASSERT_EQ(Connection::Status::kOk, ReadThree(c, 100, registers));
    EXPECT_EQ((std::vector<uint16_t>{100, 101, 102}), registers);
    device.behaviour = Behaviour::kInPieces;
    ASSERT_EQ(Connection::Status::kOk, ReadThree(c, 7, registers));
    EXPECT_EQ((std::vector<uint16_t>{7, 8, 9}), registers);
    device.behaviour = Behaviour::kOldAnswerFirst;
    ASSERT_EQ(Connection::Status::kOk, ReadThree(c, 40, registers));
    EXPECT_EQ((std::vector<uint16_t>{40, 41, 42}), registers);
    EXPECT_EQ(1, device.connections.load()) << "one connection for all of it";
}

TEST(ModbusConnection, SilenceHangUpAndGarbageEndTheConnectionWhichReopens) {
    FakeDevice device;
    Connection c("127.0.0.1", device.Port(), 1, 500);
    std::vector<uint16_t> registers;
    device.behaviour = Behaviour::kSilent;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Connection::Status::kTimeout, ReadThree(c, 0, registers));
    EXPECT_LT(GetTickCount64() - start, 5000u) << "the time-out, not for ever";
    EXPECT_FALSE(c.IsOpen());
    device.behaviour = Behaviour::kHangUp;
    EXPECT_EQ(Connection::Status::kBroken, ReadThree(c, 0, registers));
    device.behaviour = Behaviour::kGarbage;
    EXPECT_EQ(Connection::Status::kBadFrame, ReadThree(c, 0, registers));
    device.behaviour = Behaviour::kAnswer;
    EXPECT_EQ(Connection::Status::kOk, ReadThree(c, 5, registers));
    EXPECT_EQ((std::vector<uint16_t>{5, 6, 7}), registers);
    EXPECT_EQ(4, device.connections.load());
}

TEST(ModbusConnection, NoDeviceIsRefusedQuicklyAndThenLeftAloneForTheBackoff) {
    uint16_t port;
    {
        FakeDevice gone;  // a port that was just free and is closed again
        port = gone.Port();
    }
    Connection c("127.0.0.1", port, 1, 2000);
    std::vector<uint16_t> registers;
    EXPECT_EQ(Connection::Status::kUnreachable, ReadThree(c, 0, registers));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Connection::Status::kUnreachable, ReadThree(c, 0, registers));
    EXPECT_LT(GetTickCount64() - start, 500u) << "within the back-off nothing is tried";
    Connection unknown("no-such-host.invalid", 502, 1, 2000);
    EXPECT_EQ(Connection::Status::kUnreachable, ReadThree(unknown, 0, registers));
}
