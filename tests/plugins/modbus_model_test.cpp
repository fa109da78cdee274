// The Modbus TCP driver's object tree: where objects may go, what is refused, the versioned
// stream (byte for byte, and damaged streams that change nothing), and the readings a worker
// posts, which the server sees only after the driver's update.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "diagnostics_tags.h"
#include "modbus_model.h"
#include "modbus_tree.h"

namespace {

using modbus::DataType;
using modbus::Kind;
using modbus::Model;
using modbus::Table;
using namespace modbus_tree;
using namespace std::string_literals;

TEST(ModbusModel, ObjectsGoWhereTheyBelongAndBadSettingsAreRefused) {
    Model m;
    const DWORD plc = m.Add(0, Device("PLC", 502));
    ASSERT_NE(0u, plc);
    EXPECT_EQ(0u, m.Add(0, Tag("T", Table::kCoil, 0, DataType::kBool))) << "no tag at the top";
    EXPECT_EQ(0u, m.Add(plc, Device("Inner", 502))) << "no device in a device";
    const DWORD folder = m.Add(plc, Folder("F"));
    const DWORD tag = m.Add(folder, Tag("T", Table::kHoldingRegister, 5, DataType::kFloat32));
    ASSERT_NE(0u, tag);
    EXPECT_EQ(0u, m.Add(tag, Tag("Child", Table::kHoldingRegister, 0))) << "tags hold nothing";
    EXPECT_EQ(0u, m.Add(folder, Tag("T", Table::kHoldingRegister, 9))) << "name taken";
    EXPECT_EQ(L"Объект с таким именем уже есть на этом уровне.",
              m.Check(folder, 0, Tag("T", Table::kHoldingRegister, 9)));
    EXPECT_EQ(L"Тег выходит за конец адресного пространства (65536).",
              m.Check(folder, 0, Tag("U", Table::kHoldingRegister, 65535, DataType::kFloat32)));
    EXPECT_EQ(L"Катушки и дискретные входы могут быть только логического типа.",
              m.Check(folder, 0, Tag("U", Table::kCoil, 0, DataType::kInt16)));
    modbus::ObjectSettings badPort = Device("Other", 0);
    EXPECT_FALSE(m.Check(0, 0, badPort).empty());

    EXPECT_EQ(tag, m.FindPath("PLC.F.T"));
    EXPECT_EQ(tag, m.FindPath(".PLC.F.T"));
    EXPECT_EQ(0u, m.FindPath("PLC.F.T.X"));
    EXPECT_EQ(plc, m.DeviceOf(tag));
    EXPECT_EQ(1u, m.PlanOf(plc)->tags.size()) << "the tag is found through the folder";

    // An edit keeps the kind, and a tag read elsewhere waits for its first reading again.
    modbus::ObjectSettings moved = Tag("T", Table::kInputRegister, 7, DataType::kFloat32);
    moved.kind = Kind::kFolder;
    ASSERT_TRUE(m.Edit(tag, moved));
    EXPECT_EQ(Kind::kTag, *m.KindOf(tag));
    EXPECT_EQ(Table::kInputRegister, m.Settings(tag)->tag.table);
    EXPECT_FALSE(m.Edit(tag, Tag("T", Table::kCoil, 7, DataType::kFloat32)));

    m.Remove(folder);
    EXPECT_EQ(0u, m.FindPath("PLC.F.T"));
    EXPECT_TRUE(m.PlanOf(plc)->tags.empty());
}

TEST(ModbusModel, ReadingsWaitForTheUpdateAndAFailureKeepsTheLastValue) {
    Model m;
    const DWORD plc = m.Add(0, Device("PLC", 502));
    const DWORD tag = m.Add(plc, Tag("T", Table::kHoldingRegister, 0));
    const uint64_t generation = m.PlanOf(plc)->generation;
    auto quality = [&] {
        WORD q = 0;
        m.Describe(tag, [&](const modbus::ObjectView& v) { q = v.quality; });
        return q;
    };
    auto value = [&] {
        int shown = -1;
        m.Describe(tag, [&](const modbus::ObjectView& v) {
            if (V_VT(v.value) == VT_UI2) shown = V_UI2(v.value);
        });
        return shown;
    };
    EXPECT_EQ(modbus::kQualityWaiting, quality());

    std::vector<modbus::Reading> readings(1);
    readings[0].tag = tag;
    V_VT(readings[0].value.get()) = VT_UI2;
    V_UI2(readings[0].value.get()) = 42;
    m.Post(generation, std::move(readings));
    EXPECT_EQ(-1, value()) << "not before the update";
    m.HandOver();
    EXPECT_EQ(42, value());
    EXPECT_EQ(modbus::kQualityGood, quality());

    std::vector<modbus::Reading> failed(1);
    failed[0].tag = tag;
    failed[0].quality = modbus::kQualityCommFailure;
    failed[0].keepValue = true;
    m.Post(generation, std::move(failed));
    m.HandOver();
    EXPECT_EQ(42, value());
    EXPECT_EQ(modbus::kQualityCommFailure, quality());

    // Readings of a tree that has since been replaced are dropped: ids are given out afresh.
    std::vector<modbus::Reading> stale(1);
    stale[0].tag = tag;
    V_VT(stale[0].value.get()) = VT_UI2;
    V_UI2(stale[0].value.get()) = 7;
    ASSERT_TRUE(m.Load(m.Save()));
    m.Post(generation, std::move(stale));
    m.HandOver();
    EXPECT_EQ(-1, value());
}

TEST(ModbusModel, TheStreamKeepsEverySettingAndRefusesWhatItCannotRead) {
    Model m;
    modbus::ObjectSettings device = Device("PLC", 1502, 250, 700, 3);
    device.description = "\xCF\xEB\xE0\xED\xF2";  // cp1251
    device.device.host = "plc-1.plant.local";
    device.device.unit = 17;
    const DWORD plc = m.Add(0, device);
    const DWORD folder = m.Add(plc, Folder("Analog"));
    modbus::ObjectSettings tag =
        Tag("Flow", Table::kInputRegister, 300, DataType::kFloat64, [](modbus::Encoding& e) {
            e.lowWordFirst = true;
            e.swapBytes = true;
            e.scaling = modbus::Scaling{true, 0, 65535, -50, 150.5};
        });
    m.Add(folder, tag);
    m.Add(plc, Tag("Name", Table::kHoldingRegister, 10, DataType::kString,
                   [](modbus::Encoding& e) { e.stringRegisters = 8; }));
    const std::string bytes = m.Save();

    Model copy;
    ASSERT_TRUE(copy.Load(bytes));
    EXPECT_EQ(bytes, copy.Save());
    const modbus::ObjectSettings d = *copy.Settings(copy.FindPath("PLC"));
    EXPECT_EQ("plc-1.plant.local", d.device.host);
    EXPECT_EQ(1502, d.device.port);
    EXPECT_EQ(17, d.device.unit);
    EXPECT_EQ(250u, d.device.pollMs);
    EXPECT_EQ(700u, d.device.timeoutMs);
    EXPECT_EQ(3, d.device.retries);
    EXPECT_EQ(device.description, d.description);
    const modbus::TagSettings t = copy.Settings(copy.FindPath("PLC.Analog.Flow"))->tag;
    EXPECT_EQ(Table::kInputRegister, t.table);
    EXPECT_EQ(300, t.address);
    EXPECT_EQ(DataType::kFloat64, t.encoding.type);
    EXPECT_TRUE(t.encoding.lowWordFirst && t.encoding.swapBytes && t.encoding.scaling.enabled);
    EXPECT_EQ(150.5, t.encoding.scaling.euHigh);
    EXPECT_EQ(8, copy.Settings(copy.FindPath("PLC.Name"))->tag.encoding.stringRegisters);

    // The head of the stream, the same from every build: magic, version 3, one object...
    Model small;
    small.Add(0, Device("D", 502, 1000, 1000, 2));
    const std::string head("MBTC\x03\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00", 17);
    EXPECT_EQ(head, small.Save().substr(0, 17));
    // ...and a device: name, description, host, port 502, unit 1, poll and time-out 1000 ms,
    // two retries, Modbus TCP, and the serial line it does not use: COM1, 9600 baud, 8 data
    // bits, even parity, 1 stop bit.
    const std::string device502(
        "\x01\x00\x00\x00"
        "D"
        "\x00\x00\x00\x00"
        "\x09\x00\x00\x00"
        "127.0.0.1"
        "\xF6\x01"
        "\x01"
        "\xE8\x03\x00\x00"
        "\xE8\x03\x00\x00"
        "\x02"
        "\x00"
        "\x04\x00\x00\x00"
        "COM1"
        "\x80\x25\x00\x00"
        "\x08\x01\x01",
        50);
    EXPECT_EQ(device502, small.Save().substr(17));

    // Whatever cannot be read leaves the tree as it was.
    const std::string before = copy.Save();
    for (const std::string& bad :
         {std::string(), std::string("MBTC"), bytes.substr(0, bytes.size() - 1), bytes + "x",
          "MBTC\x04" + bytes.substr(5), "MBTC" + std::string(4, '\0') + bytes.substr(8),
          "XXXX" + bytes.substr(4)})
        EXPECT_FALSE(copy.Load(bad));
    std::string badPort = small.Save();
    badPort[17 + 4 + 1 + 4 + 4 + 9] = 0;  // port 0 is refused like a dialog would refuse it
    badPort[17 + 4 + 1 + 4 + 4 + 9 + 1] = 0;
    EXPECT_FALSE(copy.Load(badPort));
    EXPECT_EQ(before, copy.Save());
}

// A device at the top of a stream of the first version: `name` on 127.0.0.1:502, unit 1,
// 1000 ms, 1000 ms, two retries.
std::string FirstVersionDevice(char name) {
    return "\x00\x00\x00\x00"
           "\x00\x01\x00\x00\x00"s +
           name +
           "\x00\x00\x00\x00"
           "\x09\x00\x00\x00"
           "127.0.0.1"
           "\xF6\x01\x01\xE8\x03\x00\x00\xE8\x03\x00\x00\x02"s;
}

// Configurations saved before tags had a range and units of their own still load: a scaled
// tag then gives its scaled span, and saving again writes the current version, which keeps
// a range and units as they were set.
TEST(ModbusModel, AStreamOfTheFirstVersionLoadsAndTheRangeAndUnitsRoundTrip) {
    const std::string first =
        "MBTC"
        "\x01\x00\x00\x00"   // version 1
        "\x02\x00\x00\x00"s  // two objects
        + FirstVersionDevice('D') +
        // its tag Temp: holding register 0, int16, scaled 0..1000 to 0..100
        "\x01\x00\x00\x00"
        "\x02\x04\x00\x00\x00"
        "Temp"
        "\x00\x00\x00\x00"
        "\x03\x00\x00\x01\x00\x00\x00\x00\x01"
        "\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x40\x8F\x40"
        "\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x59\x40"s;
    Model m;
    ASSERT_TRUE(m.Load(first));
    modbus::ObjectSettings temp = *m.Settings(m.FindPath("D.Temp"));
    EXPECT_EQ(DataType::kInt16, temp.tag.encoding.type);
    EXPECT_EQ(100.0, temp.tag.encoding.scaling.euHigh);
    EXPECT_FALSE(temp.tag.ranged);
    EXPECT_EQ("", temp.tag.units);
    double low = -1, high = -1;
    ASSERT_TRUE(modbus::TagRange(temp.tag, low, high));
    EXPECT_EQ(0.0, low);
    EXPECT_EQ(100.0, high);

    temp.tag.ranged = true;
    temp.tag.rangeLow = -10.5;
    temp.tag.rangeHigh = 60;
    temp.tag.units =
        "\xB0"
        "C";  // cp1251
    ASSERT_TRUE(m.Edit(m.FindPath("D.Temp"), temp));
    const std::string second = m.Save();
    EXPECT_EQ('\x03', second[4]);
    EXPECT_EQ(first.size() + 1 + 8 + 8 + 4 + 2 + 16, second.size())
        << "the tag's range and units, and the device's transport and line";
    Model copy;
    ASSERT_TRUE(copy.Load(second));
    const modbus::TagSettings back = copy.Settings(copy.FindPath("D.Temp"))->tag;
    EXPECT_TRUE(back.ranged);
    EXPECT_EQ(-10.5, back.rangeLow);
    EXPECT_EQ(60.0, back.rangeHigh);
    EXPECT_EQ(
        "\xB0"
        "C",
        back.units);
    EXPECT_EQ(second, copy.Save());
}

// A configuration saved before "_Diagnostics" was the driver's, with a user's folder of that
// name under a device, loads whole: the user's folder keeps its name and item IDs, that one
// device shows no diagnostics folder of the driver's, and the name stays refused for new
// objects while the stored one may still be edited.
TEST(ModbusModel, AStoredUserDiagnosticsFolderLoadsAndTheDriversStepsAside) {
    const std::string bytes =
        "MBTC"
        "\x01\x00\x00\x00"   // version 1
        "\x04\x00\x00\x00"s  // four objects
        + FirstVersionDevice('D') + FirstVersionDevice('E') +
        // D's folder _Diagnostics
        "\x01\x00\x00\x00"
        "\x01\x0C\x00\x00\x00"
        "_Diagnostics"
        "\x00\x00\x00\x00"
        // its tag Requests: holding register 0, uint16
        "\x03\x00\x00\x00"
        "\x02\x08\x00\x00\x00"
        "Requests"
        "\x00\x00\x00\x00"
        "\x03\x00\x00\x02\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00"s;
    Model m;
    ASSERT_TRUE(m.Load(bytes));
    const modbus::DiagnosticTags diagnostics(m);
    const DWORD folder = m.FindPath("D._Diagnostics");
    const DWORD tag = m.FindPath("D._Diagnostics.Requests");
    ASSERT_NE(0u, folder);
    ASSERT_NE(0u, tag);
    EXPECT_EQ(folder, diagnostics.FindPath("D._Diagnostics")) << "the user's, not the driver's";
    EXPECT_EQ(tag, diagnostics.FindPath("D._Diagnostics.Requests"));
    EXPECT_TRUE(diagnostics.Children(m.FindPath("D"), false).empty()) << "no second folder";
    const DWORD ours = diagnostics.FindPath("E._Diagnostics");
    EXPECT_TRUE(diagnostics.IsFolder(ours)) << "the other device keeps the driver's";
    EXPECT_EQ(std::vector<std::string>{"_Diagnostics"},
              diagnostics.Children(m.FindPath("E"), false));

    modbus::ObjectSettings renamed = *m.Settings(folder);
    renamed.description = "kept";
    EXPECT_TRUE(m.Edit(folder, renamed)) << "a stored name may stay";
    Model copy;
    ASSERT_TRUE(copy.Load(m.Save())) << "and is saved and loaded again";
    EXPECT_EQ(tag, copy.FindPath("D._Diagnostics.Requests"));
    modbus::ObjectSettings another = renamed;
    EXPECT_FALSE(m.Check(m.FindPath("E"), 0, another).empty()) << "but is taken for new objects";
    EXPECT_EQ(0u, m.Add(m.FindPath("E"), another));
    renamed.name = "Old";
    ASSERT_TRUE(m.Edit(folder, renamed));
    renamed.name = "_Diagnostics";
    EXPECT_FALSE(m.Edit(folder, renamed)) << "nor taken back by a rename";
    EXPECT_TRUE(diagnostics.IsFolder(diagnostics.FindPath("D._Diagnostics")))
        << "the driver's folder is back once the user's is renamed";
}

}  // namespace
