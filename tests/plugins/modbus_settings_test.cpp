// What the Modbus driver's dialogs refuse before anything changes: hosts, ports, unit ids,
// time limits, and tags whose table, address and type do not fit together.
#include <windows.h>
#include <gtest/gtest.h>
#include <cmath>

#include "modbus_settings.h"

using namespace modbus;

TEST(ModbusSettings, DevicesNeedAReachableAddressAndSaneLimits) {
    DeviceSettings d;
    d.name = "PLC1";
    EXPECT_EQ(L"", CheckDevice(d));
    for (const char* host : {"plc-1.plant.local", "192.168.0.10", "localhost"}) {
        d.host = host;
        EXPECT_EQ(L"", CheckDevice(d)) << host;
    }
    for (const char* host : {"", "plc 1", "a..b", ".plc", "plc.", "plc:502", "плк"}) {
        d.host = host;
        EXPECT_NE(L"", CheckDevice(d)) << host;
    }
    d.host = "127.0.0.1";
    DeviceSettings bad = d;
    bad.name = "A.B";
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.port = 0;
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.unit = 248;
    EXPECT_NE(L"", CheckDevice(bad));
    bad.unit = 255;  // "any unit" of a gateway
    EXPECT_EQ(L"", CheckDevice(bad));
    bad = d;
    bad.pollMs = 10;
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.timeoutMs = 120000;
    EXPECT_NE(L"", CheckDevice(bad));
    bad = d;
    bad.retries = 11;
    EXPECT_NE(L"", CheckDevice(bad));
}

TEST(ModbusSettings, TagsMustFitTheirTableAndAddressSpace) {
    TagSettings t;
    t.name = "Speed";
    t.encoding.type = DataType::kFloat32;
    t.address = 65534;
    EXPECT_EQ(L"", CheckTag(t)) << "the last two registers";
    EXPECT_EQ(2, TagSpan(t));
    t.address = 65535;
    EXPECT_NE(L"", CheckTag(t)) << "past the end";

    t.address = 0;
    t.table = Table::kCoil;
    EXPECT_NE(L"", CheckTag(t)) << "a float in a coil";
    t.encoding.type = DataType::kBool;
    t.address = 65535;
    EXPECT_EQ(L"", CheckTag(t));
    EXPECT_EQ(1, TagSpan(t));

    t.table = Table::kInputRegister;
    t.address = 0;
    t.encoding.type = DataType::kString;
    t.encoding.stringRegisters = 0;
    EXPECT_NE(L"", CheckTag(t));
    t.encoding.stringRegisters = 126;
    EXPECT_NE(L"", CheckTag(t)) << "more than one request can read";
    t.encoding.stringRegisters = 125;
    EXPECT_EQ(L"", CheckTag(t));
    t.encoding.scaling.enabled = true;
    EXPECT_NE(L"", CheckTag(t)) << "a string is not scaled";

    t.encoding.type = DataType::kInt16;
    t.encoding.scaling = Scaling{true, 0, 0, 0, 100};
    EXPECT_NE(L"", CheckTag(t)) << "an empty raw range";
    t.encoding.scaling = Scaling{true, 0, 27648, 0, 100};
    EXPECT_EQ(L"", CheckTag(t));
    t.name = "";
    EXPECT_NE(L"", CheckTag(t));
}

// A client divides by high - low (a percent deadband): a range that is no span is refused,
// and so is one on a value that is no number.
TEST(ModbusSettings, ARangeForClientsIsARealSpanOfANumber) {
    TagSettings t;
    t.name = "Level";
    t.encoding.type = DataType::kInt16;
    double low = 0, high = 0;
    EXPECT_FALSE(TagRange(t, low, high)) << "neither scaled nor ranged";

    t.encoding.scaling = Scaling{true, 0, 27648, 100, -20};  // runs downwards
    ASSERT_TRUE(TagRange(t, low, high));
    EXPECT_EQ(-20.0, low);
    EXPECT_EQ(100.0, high);

    t.ranged = true;
    t.rangeLow = 0;
    t.rangeHigh = 80;
    EXPECT_EQ(L"", CheckTag(t));
    ASSERT_TRUE(TagRange(t, low, high));
    EXPECT_EQ(80.0, high) << "the engineer's own range over the scaled span";
    for (double bad : {0.0, -1.0, std::nan("")}) {
        t.rangeHigh = bad;
        EXPECT_NE(L"", CheckTag(t)) << bad;
    }
    t.rangeHigh = HUGE_VAL;
    EXPECT_NE(L"", CheckTag(t)) << "endless";
    t.rangeHigh = 80;

    t.units = std::string(kMaxUnitsLength, 'm');
    EXPECT_EQ(L"", CheckTag(t));
    t.units += "m";
    EXPECT_NE(L"", CheckTag(t));

    TagSettings flag;
    flag.name = "Pump";
    flag.table = Table::kCoil;
    flag.encoding.type = DataType::kBool;
    flag.units = "on/off";
    EXPECT_NE(L"", CheckTag(flag)) << "units of a flag";
    flag.units.clear();
    flag.ranged = true;
    flag.rangeHigh = 1;
    EXPECT_NE(L"", CheckTag(flag)) << "a range of a flag";
    EXPECT_FALSE(TagRange(flag, low, high));
}
