// Modbus RTU without a device: the frames' CRC and the length an answer must have, the silence
// between frames at each speed, what the settings checks refuse of a serial device and of
// devices sharing a line, configuration streams of every version, and the RTU master against
// a line of the test's own that answers with whatever the test scripts.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <deque>

#include "modbus_model.h"
#include "rtu_frame.h"
#include "rtu_link.h"

using namespace modbus;

namespace {

TEST(ModbusRtuFrames, CrcAndExpectedLengthOfEveryAnswerKind) {
    // Frames as a device on the line sends them, CRC low byte first.
    const Bytes read = RtuFrame(0x01, {0x03, 0x00, 0x00, 0x00, 0x0A});
    EXPECT_EQ((Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}), read);
    const Bytes other = RtuFrame(0x11, {0x03, 0x00, 0x6B, 0x00, 0x03});
    EXPECT_EQ(0x76, other[6]);
    EXPECT_EQ(0x87, other[7]);
    EXPECT_EQ(0, Crc16(read.data(), read.size())) << "a whole frame's CRC comes out 0";

    const uint8_t registers[] = {0x01, 0x03, 0x04, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0u, ExpectedAnswerLength(registers, 1));
    EXPECT_EQ(0u, ExpectedAnswerLength(registers, 2)) << "the byte count is not there yet";
    EXPECT_EQ(3u + 4 + 2, ExpectedAnswerLength(registers, 3));
    const uint8_t coils[] = {0x01, 0x01, 0xFA};
    EXPECT_EQ(3u + 250 + 2, ExpectedAnswerLength(coils, 3));
    for (uint8_t function : {0x05, 0x06, 0x0F, 0x10}) {
        const uint8_t echo[] = {0x01, function};
        EXPECT_EQ(8u, ExpectedAnswerLength(echo, 2)) << int{function};
    }
    const uint8_t exception[] = {0x01, 0x83};
    EXPECT_EQ(5u, ExpectedAnswerLength(exception, 2));
    const uint8_t foreign[] = {0x01, 0x2B};
    EXPECT_EQ(kUnknownLength, ExpectedAnswerLength(foreign, 2));

    Bytes pdu;
    const Bytes answer = RtuFrame(7, {0x03, 0x02, 0x12, 0x34});
    EXPECT_EQ(RtuAnswer::kOk, CheckAnswer(answer.data(), answer.size(), 7, 0x03, pdu));
    EXPECT_EQ((Bytes{0x03, 0x02, 0x12, 0x34}), pdu);
    const Bytes refused = RtuFrame(7, {0x83, 0x02});
    EXPECT_EQ(RtuAnswer::kOk, CheckAnswer(refused.data(), refused.size(), 7, 0x03, pdu));
    EXPECT_EQ(RtuAnswer::kForeignUnit, CheckAnswer(answer.data(), answer.size(), 8, 0x03, pdu));
    EXPECT_EQ(RtuAnswer::kForeignFunction, CheckAnswer(answer.data(), answer.size(), 7, 0x04, pdu));
    Bytes damaged = answer;
    damaged[3] ^= 0x01;
    EXPECT_EQ(RtuAnswer::kBadCrc, CheckAnswer(damaged.data(), damaged.size(), 7, 0x03, pdu));
}

TEST(ModbusRtuFrames, SilenceIsThreeAndAHalfCharactersUpTo19200Baud) {
    DeviceSettings line;  // 8 data bits, even parity, 1 stop bit: 11 bits
    EXPECT_EQ(11u, CharacterBits(line));
    line.parity = Parity::kNone;
    EXPECT_EQ(10u, CharacterBits(line));
    line.stopBits = 2;
    EXPECT_EQ(11u, CharacterBits(line));
    line.dataBits = 7;
    EXPECT_EQ(10u, CharacterBits(line));

    EXPECT_EQ(4011u, SilenceMicros(9600, 11));  // 3.5 * 11 / 9600 s, rounded up
    EXPECT_EQ(3646u, SilenceMicros(9600, 10));
    EXPECT_EQ(2006u, SilenceMicros(19200, 11));
    EXPECT_EQ(32084u, SilenceMicros(1200, 11));
    for (uint32_t fast : {38400u, 57600u, 115200u}) EXPECT_EQ(1750u, SilenceMicros(fast, 11));
}

DeviceSettings SerialDevice(const char* name, const char* port, uint8_t unit) {
    DeviceSettings d;
    d.name = name;
    d.transport = Transport::kRtu;
    d.portName = port;
    d.unit = unit;
    return d;
}

ObjectSettings AsObject(const DeviceSettings& d) {
    ObjectSettings s;
    s.kind = Kind::kDevice;
    s.name = d.name;
    s.device = d;
    return s;
}

TEST(ModbusRtuSettings, SerialDevicesNeedAPortAFormatAndAUnitOfTheirOwn) {
    DeviceSettings d = SerialDevice("Meter", "COM3", 5);
    d.host = "";  // a serial device has no use for a host
    EXPECT_EQ(L"", CheckDevice(d));
    for (const char* port : {"COM1", "com256", "Com12"}) {
        d.portName = port;
        EXPECT_EQ(L"", CheckDevice(d)) << port;
    }
    for (const char* port : {"", "COM", "COM0", "COM257", "COM01", "LPT1", "COM1 ", "/dev/ttyS0"}) {
        d.portName = port;
        EXPECT_NE(L"", CheckDevice(d)) << port;
    }
    d.portName = "COM3";
    for (uint32_t baud : kBaudRates) {
        d.baud = baud;
        EXPECT_EQ(L"", CheckDevice(d)) << baud;
    }
    DeviceSettings bad = d;
    for (uint32_t baud : {0u, 300u, 14400u, 128000u}) {
        bad.baud = baud;
        EXPECT_NE(L"", CheckDevice(bad)) << baud;
    }
    bad = d;
    bad.dataBits = 6;
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.stopBits = 0;
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.parity = static_cast<Parity>(3);
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.transport = static_cast<Transport>(3);
    EXPECT_NE(L"", CheckDevice(bad));
    // Nobody answers a read sent to everyone, and 248 and above are no slave's address on a
    // line; a Modbus TCP device keeps its 0 and 255.
    for (Transport t : {Transport::kRtu, Transport::kRtuOverTcp}) {
        bad = d;
        bad.host = "gw-1";
        bad.transport = t;
        for (uint8_t unit : {0, 248, 255}) {
            bad.unit = unit;
            EXPECT_EQ(L"Адрес ведомого на линии RTU должен быть от 1 до 247.", CheckDevice(bad));
        }
    }
    bad.transport = Transport::kTcp;
    for (uint8_t unit : {0, 255}) {
        bad.unit = unit;
        EXPECT_EQ(L"", CheckDevice(bad)) << int{unit};
    }
    // A TCP kind still needs its host, whatever the port name says.
    bad = d;
    bad.transport = Transport::kRtuOverTcp;
    EXPECT_NE(L"", CheckDevice(bad));
    bad.host = "gw-1";
    EXPECT_EQ(L"", CheckDevice(bad));
}

TEST(ModbusRtuSettings, DevicesOnOnePortMustAgreeOnItsFormat) {
    Model m;
    const DWORD first = m.Add(0, AsObject(SerialDevice("A", "COM4", 1)));
    ASSERT_NE(0u, first);
    EXPECT_NE(0u, m.Add(0, AsObject(SerialDevice("B", "com4", 2))));
    DeviceSettings faster = SerialDevice("C", "COM4", 3);
    faster.baud = 19200;
    EXPECT_EQ(
        L"Устройства на одном последовательном порту должны иметь одинаковые скорость, "
        L"биты данных, чётность и стоповые биты.",
        m.Check(0, 0, AsObject(faster)));
    EXPECT_EQ(0u, m.Add(0, AsObject(faster)));
    faster.portName = "COM5";  // another line is free to run at its own speed
    EXPECT_NE(0u, m.Add(0, AsObject(faster)));
    // A gateway's devices may differ in anything but their units.
    DeviceSettings gateway = SerialDevice("G", "COM4", 9);
    gateway.transport = Transport::kRtuOverTcp;
    gateway.baud = 1200;
    EXPECT_NE(0u, m.Add(0, AsObject(gateway)));
    // Editing the only device of a line changes the line's format.
    Model alone;
    const DWORD only = alone.Add(0, AsObject(SerialDevice("A", "COM4", 1)));
    DeviceSettings slower = SerialDevice("A", "COM4", 1);
    slower.baud = 4800;
    EXPECT_TRUE(alone.Edit(only, AsObject(slower)));
}

std::string U32(uint32_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

// A version 2 configuration: one device D on 10.0.0.7:1502, unit 0, 500 ms, 700 ms, 3 retries.
std::string SecondVersionStream() {
    return "MBTC" + U32(2) + U32(1) + U32(0) + std::string(1, '\0') + U32(1) + "D" + U32(0) +
           U32(8) + "10.0.0.7" + std::string("\xDE\x05\x00", 3) + U32(500) + U32(700) + "\x03";
}

TEST(ModbusRtuStream, OlderStreamsLoadAsTcpDevicesAndTheLineRoundTrips) {
    Model m;
    ASSERT_TRUE(m.Load(SecondVersionStream()));
    DeviceSettings d = m.Settings(m.FindPath("D"))->device;
    EXPECT_EQ(Transport::kTcp, d.transport);
    EXPECT_EQ("10.0.0.7", d.host);
    EXPECT_EQ(1502, d.port);
    EXPECT_EQ(0, d.unit);
    EXPECT_EQ(700u, d.timeoutMs);
    EXPECT_EQ(3, d.retries);

    d.transport = Transport::kRtu;
    d.portName = "COM17";
    d.baud = 115200;
    d.dataBits = 8;
    d.parity = Parity::kNone;
    d.stopBits = 2;
    d.unit = 33;
    ASSERT_TRUE(m.Edit(m.FindPath("D"), AsObject(d)));
    const std::string third = m.Save();
    EXPECT_EQ('\x03', third[4]);
    Model copy;
    ASSERT_TRUE(copy.Load(third));
    const DeviceSettings back = copy.Settings(copy.FindPath("D"))->device;
    EXPECT_EQ(Transport::kRtu, back.transport);
    EXPECT_EQ("COM17", back.portName);
    EXPECT_EQ(115200u, back.baud);
    EXPECT_EQ(Parity::kNone, back.parity);
    EXPECT_EQ(2, back.stopBits);
    EXPECT_EQ(33, back.unit);
    EXPECT_EQ(third, copy.Save());

    // A third-version stream whose line the checks refuse changes nothing.
    for (size_t at : {third.size() - 1, third.size() - 3, third.size() - 17}) {
        std::string bad = third;
        bad[at] = '\x09';  // 9 stop bits, 9 data bits, transport 9
        EXPECT_FALSE(copy.Load(bad)) << at;
    }
    EXPECT_EQ(third, copy.Save());
}

// A line whose one device answers each request with what the test queued, in pieces of
// `piece` bytes; bytes queued with Stale() are already waiting when a request goes out.
class ScriptedLine : public ByteChannel {
  public:
    bool Open(DWORD) override { return open_ = true; }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    bool Send(const Bytes& bytes, DWORD) override {
        sent.push_back(bytes);
        if (!replies.empty()) {
            pending_.insert(pending_.end(), replies.front().begin(), replies.front().end());
            replies.pop_front();
        }
        return true;
    }
    int Receive(uint8_t* buffer, size_t size, DWORD waitMs) override {
        if (pending_.empty()) {
            Sleep(waitMs);
            return 0;
        }
        const size_t n = std::min({size, pending_.size(), piece});
        std::copy(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(n), buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(n));
        return static_cast<int>(n);
    }
    void Discard() override { pending_.clear(); }
    void Stale(const Bytes& bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }

    std::deque<Bytes> replies;
    std::vector<Bytes> sent;
    size_t piece = 1;

  private:
    bool open_ = false;
    std::deque<uint8_t> pending_;
};

TEST(ModbusRtuMaster, OnlyAWholeMatchingAnswerIsData) {
    auto owned = std::make_unique<ScriptedLine>();
    ScriptedLine& line = *owned;
    RtuLink link(std::move(owned), 0);
    const Bytes request = ReadRequest(Table::kHoldingRegister, 10, 2);
    const Bytes good = RtuFrame(5, {0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B});
    Bytes pdu;

    line.replies.push_back(good);
    EXPECT_EQ(LinkStatus::kOk, link.Transact(5, request, pdu, 500)) << "in single bytes";
    EXPECT_EQ((Bytes{0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B}), pdu);
    EXPECT_EQ(RtuFrame(5, request), line.sent.back());

    // A late answer to an earlier request, already waiting, is thrown away first.
    line.Stale(RtuFrame(5, {0x03, 0x04, 0x99, 0x99, 0x99, 0x99}));
    line.replies.push_back(good);
    line.piece = 64;
    EXPECT_EQ(LinkStatus::kOk, link.Transact(5, request, pdu, 500));
    EXPECT_EQ(0x0A, pdu[3]);

    struct Case {
        const char* what;
        Bytes reply;
        LinkStatus status;
    };
    Bytes badCrc = good;
    badCrc.back() ^= 0x40;
    const Bytes cutShort(good.begin(), good.begin() + 5);
    const Case cases[] = {
        {"a wrong CRC", badCrc, LinkStatus::kBadFrame},
        {"another unit's answer", RtuFrame(6, {0x03, 0x04, 0, 1, 0, 2}), LinkStatus::kBadFrame},
        {"another function's answer", RtuFrame(5, {0x04, 0x04, 0, 1, 0, 2}), LinkStatus::kBadFrame},
        {"a frame cut short", cutShort, LinkStatus::kBadFrame},
        {"a function the driver never sends", RtuFrame(5, {0x2B, 0x00}), LinkStatus::kBadFrame},
        {"silence", Bytes{}, LinkStatus::kTimeout},
    };
    for (const Case& c : cases) {
        pdu.clear();
        line.replies.push_back(c.reply);
        const ULONGLONG started = GetTickCount64();
        EXPECT_EQ(c.status, link.Transact(5, request, pdu, 300)) << c.what;
        EXPECT_TRUE(pdu.empty()) << c.what;
        if (c.status == LinkStatus::kBadFrame && c.reply.size() < good.size()) {
            EXPECT_LT(GetTickCount64() - started, 250u) << c.what << ": known by the silence";
        }
        EXPECT_TRUE(link.IsOpen()) << c.what << ": the line stays open for the other units";
    }

    // An exception answer is an answer, known whole at 5 bytes.
    line.replies.push_back(RtuFrame(5, {0x83, 0x02}));
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(LinkStatus::kOk, link.Transact(5, request, pdu, 2000));
    EXPECT_LT(GetTickCount64() - started, 1000u) << "no wait for more bytes";
    EXPECT_EQ((Bytes{0x83, 0x02}), pdu);

    // And the line recovers with the next good answer.
    line.replies.push_back(good);
    EXPECT_EQ(LinkStatus::kOk, link.Transact(5, request, pdu, 500));
}

}  // namespace
