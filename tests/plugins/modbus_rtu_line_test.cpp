// The driver's device workers on Modbus RTU, against real devices on this machine
// (scripts/modbus_rtu_device.py, started by CTest): Debian's pymodbus with two units on a
// serial line (a pseudo-terminal made a COM port of the Wine prefix), behind a serial-to-
// Ethernet gateway (RTU frames on TCP) and behind a Modbus TCP gateway; and a device of the
// script's own on a second line that answers with a bad CRC, another unit's id, a frame cut
// short, or not at all. The benchmark prints what one line and one gateway carry.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "device_poller.h"
#include "link_book.h"
#include "link_pool.h"
#include "modbus_rtu_devices.h"
#include "modbus_tree.h"
#include "rtu_frame.h"

using namespace modbus;
using namespace modbus_tree;

namespace {

class ModbusRtuLine : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(devices_.Ok()) << "the RTU devices do not answer (modbus_rtu_device.state)";
        ASSERT_TRUE(devices_.Mode("good"));
        ASSERT_TRUE(devices_.Baud(0));
    }
    void TearDown() override {
        for (auto& p : pollers_) p->Stop();
        for (auto& p : pollers_) EXPECT_TRUE(p->WaitEnded(5000));
    }

    DWORD Start(DWORD device) {
        pollers_.push_back(std::make_shared<DevicePoller>(model_, device, &links_));
        EXPECT_TRUE(pollers_.back()->Start());
        return device;
    }

    struct Seen {
        WORD quality = 0;
        unsigned value = 0;
        bool hasValue = false;
    };
    Seen Look(DWORD tag) {
        model_.HandOver();
        Seen seen;
        model_.Describe(tag, [&](const ObjectView& v) {
            seen.quality = v.quality;
            seen.hasValue = V_VT(v.value) != VT_EMPTY;
            VARIANT copy;
            VariantInit(&copy);
            if (VariantChangeType(&copy, const_cast<VARIANT*>(v.value), 0, VT_UI4) == S_OK)
                seen.value = V_UI4(&copy);
        });
        return seen;
    }
    // Waits until the tag shows `quality` (and `value`, for a good one).
    bool Shows(DWORD tag, WORD quality, unsigned value = 0, DWORD ms = 5000) {
        const ULONGLONG until = GetTickCount64() + ms;
        do {
            const Seen s = Look(tag);
            if (s.quality == quality && (quality != kQualityGood || s.value == value)) return true;
            Sleep(20);
        } while (GetTickCount64() < until);
        return false;
    }

    // What the device's diagnostics would show now.
    LinkCounters Counted(DWORD device) {
        links_.Publish();
        return links_.Shown(device);
    }

    RtuDevices devices_;
    Model model_;
    LinkBook links_;  // before the workers, which count into it
    std::vector<std::shared_ptr<DevicePoller>> pollers_;
};

// Two units on one line, two devices of the driver: each reads its own unit's memory through
// one port (a second open of the port would be refused: the line is shared, not opened twice).
TEST_F(ModbusRtuLine, TwoUnitsOnOneSerialLineAndBehindEachGateway) {
    const struct {
        Transport transport;
        std::string port;
        uint16_t tcpPort;
        const char* name;
    } ways[] = {{Transport::kRtu, devices_.line, 0, "Serial"},
                {Transport::kRtuOverTcp, "COM1", devices_.rtuTcpPort, "RtuTcp"},
                {Transport::kTcp, "COM1", devices_.gatewayPort, "Gateway"}};
    uint16_t address = 100;
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        ASSERT_TRUE(devices_.Set(1, address, 1000 + address));
        ASSERT_TRUE(devices_.Set(2, address, 2000 + address));
        std::vector<DWORD> tags;
        std::vector<DeviceSettings> settings;
        for (uint8_t unit : {1, 2}) {
            const std::string name = way.name + std::to_string(unit);
            const ObjectSettings d =
                OnRtuLink(name.c_str(), way.transport, way.port, way.tcpPort, unit);
            settings.push_back(d.device);
            const DWORD device = model_.Add(0, d);
            ASSERT_NE(0u, device);
            tags.push_back(model_.Add(device, Tag("V", Table::kHoldingRegister, address)));
            Start(device);
        }
        EXPECT_TRUE(Shows(tags[0], kQualityGood, 1000u + address));
        EXPECT_TRUE(Shows(tags[1], kQualityGood, 2000u + address));
        EXPECT_EQ(AcquireLink(settings[0]), AcquireLink(settings[1])) << "one link for both";
        if (way.transport != Transport::kRtu) {
            EXPECT_EQ("1", devices_.Ask(way.transport == Transport::kTcp ? "connections gateway"
                                                                         : "connections rtu-tcp"))
                << "one connection for both units";
        }
        for (auto& p : pollers_) {
            const LinkCounters c = Counted(p->Device());
            EXPECT_GT(c.answers, 0u);
            EXPECT_EQ(0u, c.frameErrors + c.timeouts) << "nothing lost on a shared link";
        }
        ++address;
    }
}

// Devices that share a line count only their own requests: a unit nobody answers for times out
// on its own counters, while its neighbour's show good answers only; the line's state is both
// devices'.
TEST_F(ModbusRtuLine, EachDeviceOnASharedLineCountsItsOwnRequests) {
    const DWORD present = model_.Add(0, OnRtuLink("Present", Transport::kRtu, devices_.line, 0, 1));
    const DWORD absent = model_.Add(0, OnRtuLink("Absent", Transport::kRtu, devices_.line, 0, 99));
    ASSERT_NE(0u, model_.Add(present, Tag("V", Table::kHoldingRegister, 5)));
    ASSERT_NE(0u, model_.Add(absent, Tag("V", Table::kHoldingRegister, 5)));
    Start(present);
    Start(absent);
    const ULONGLONG until = GetTickCount64() + 5000;
    while ((Counted(absent).timeouts < 2 || Counted(present).answers < 2) &&
           GetTickCount64() < until)
        Sleep(20);
    const LinkCounters p = Counted(present);
    const LinkCounters a = Counted(absent);
    EXPECT_GE(a.timeouts, 2u);
    EXPECT_EQ(0u, a.answers);
    EXPECT_EQ(a.requests, a.timeouts);
    EXPECT_EQ(L"Устройство не ответило за время ожидания.", a.lastError);
    EXPECT_EQ(0u, a.lastGoodAnswer.dwLowDateTime | a.lastGoodAnswer.dwHighDateTime);
    EXPECT_GE(p.answers, 2u);
    EXPECT_EQ(p.requests, p.answers);
    uint64_t exceptions = 0;
    for (uint64_t n : p.exceptions) exceptions += n;
    EXPECT_EQ(0u, exceptions + p.timeouts + p.frameErrors) << "the neighbour's are not its own";
    EXPECT_TRUE(p.lastError.empty());
    EXPECT_TRUE(p.connected && a.connected) << "the line is open for both";
}

// Whatever the misbehaving device sends instead of its answer shows as a communication
// failure, never as a value; its next good answer brings the value back.
TEST_F(ModbusRtuLine, BadAnswersAreNoAnswersAndAGoodOneRecovers) {
    const DWORD device = model_.Add(0, OnRtuLink("Fake", Transport::kRtu, devices_.fake, 0, 7));
    const DWORD tag = model_.Add(device, Tag("V", Table::kHoldingRegister, 321));
    Start(device);
    ASSERT_TRUE(Shows(tag, kQualityGood, 321));
    for (const char* mode : {"badcrc", "foreign", "short", "silent"}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(devices_.Mode(mode));
        EXPECT_TRUE(Shows(tag, kQualityCommFailure));
        // The value shown stays the last good one.
        EXPECT_EQ(321u, Look(tag).value);
        const LinkCounters c = Counted(device);
        EXPECT_FALSE(c.lastError.empty());
        if (std::string(mode) == "silent")
            EXPECT_GT(c.timeouts, 0u);
        else
            EXPECT_GT(c.frameErrors, 0u);
        ASSERT_TRUE(devices_.Mode("good"));
        EXPECT_TRUE(Shows(tag, kQualityGood, 321));
    }
    const LinkCounters c = Counted(device);
    EXPECT_GT(c.requests, c.answers);
    EXPECT_TRUE(c.lastError.empty()) << "a good answer clears it";
}

// Readings per second of 125 holding registers each, from devices that ask as fast as their
// poll period lets them (50 ms), for `ms` milliseconds.
double TagsPerSecond(Model& model, const std::vector<ObjectSettings>& devices, DWORD ms) {
    LinkBook links;
    std::vector<std::shared_ptr<DevicePoller>> pollers;
    for (const ObjectSettings& d : devices) {
        const DWORD id = model.Add(0, d);
        for (uint16_t a = 0; a < kMaxReadRegisters; ++a)
            model.Add(id, Tag(("H" + std::to_string(a)).c_str(), Table::kHoldingRegister, a));
        pollers.push_back(std::make_shared<DevicePoller>(model, id, &links));
    }
    for (auto& p : pollers) p->Start();
    // Counted from the first answer to the last, as they stand at the end: what is still in
    // flight then is left out.
    const auto answered = [&] {
        links.Publish();
        uint64_t n = 0;
        for (auto& p : pollers) n += links.Shown(p->Device()).answers;
        return n;
    };
    const ULONGLONG until = GetTickCount64() + 5000;
    while (answered() == 0 && GetTickCount64() < until) Sleep(1);
    const uint64_t first = answered();
    const ULONGLONG started = GetTickCount64();
    Sleep(ms);
    const uint64_t answers = answered() - first;
    const ULONGLONG elapsed = GetTickCount64() - started;
    for (auto& p : pollers) p->Stop();
    for (auto& p : pollers) p->WaitEnded(5000);
    return answers * double{kMaxReadRegisters} * 1000.0 / elapsed;
}

// One request of 125 registers and its answer on the wire, with the silence after each.
double LineLimit(uint32_t baud) {
    DeviceSettings line;  // 8 data bits, even parity, 1 stop bit: 11 bits a character
    const double bits = CharacterBits(line);
    const double seconds = (8 + 5 + 2.0 * kMaxReadRegisters) * bits / baud +
                           2 * SilenceMicros(baud, CharacterBits(line)) / 1e6;
    return kMaxReadRegisters / seconds;
}

TEST_F(ModbusRtuLine, Benchmark) {
    for (uint32_t baud : {9600u, 19200u, 115200u, 0u}) {
        ASSERT_TRUE(devices_.Baud(baud));
        std::vector<ObjectSettings> devices;
        for (uint8_t unit = 1; unit <= 4; ++unit) {
            const std::string name = "L" + std::to_string(baud) + "U" + std::to_string(unit);
            devices.push_back(OnRtuLink(name.c_str(), Transport::kRtu, devices_.fake, 0, unit));
            devices.back().device.timeoutMs = 1000;
        }
        const double measured = TagsPerSecond(model_, devices, 1500);
        if (baud)
            printf(
                "RTU line at %u baud (device paced to the baud rate): %.0f tags/s, "
                "line limit %.0f tags/s\n",
                baud, measured, LineLimit(baud));
        else
            printf("RTU line, device unpaced (pseudo-terminal speed): %.0f tags/s\n", measured);
        EXPECT_GT(measured, 0);
    }
    std::vector<ObjectSettings> gateway;
    for (uint8_t unit = 1; unit <= 10; ++unit) {
        const std::string name = "G" + std::to_string(unit);
        gateway.push_back(
            OnRtuLink(name.c_str(), Transport::kRtuOverTcp, "COM1", devices_.rtuTcpPort, unit));
    }
    const double measured = TagsPerSecond(model_, gateway, 1500);
    printf("Ten RTU devices behind one RTU-over-TCP gateway: %.0f tags/s\n", measured);
    EXPECT_GT(measured, 0);
}

}  // namespace
