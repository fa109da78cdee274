// Tag lists as CSV files: the table reader with what spreadsheets really write (a byte order
// mark, semicolons, quotes around separators and line breaks, CRLF), every column of a tag
// written and read back, each refused row reported with its line and why, and the
// diagnostics' counters and names, which users cannot take.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <chrono>
#include <cstdio>
#include <string>

#include "csv_table.h"
#include "diagnostics_tags.h"
#include "driver_kit.h"
#include "link_book.h"
#include "modbus_model.h"
#include "modbus_tree.h"
#include "tag_csv.h"

namespace {

using modbus::CsvRow;
using modbus::DataType;
using modbus::Kind;
using modbus::Model;
using modbus::Table;
using namespace modbus_tree;

std::vector<CsvRow> Parsed(const std::string& text) {
    std::vector<CsvRow> rows;
    std::wstring error;
    EXPECT_TRUE(modbus::ParseCsv(text, rows, error)) << text;
    return rows;
}

TEST(CsvTable, ReadsWhatSpreadsheetsWrite) {
    // A byte order mark, CRLF, an empty line, quotes around a comma, a quote and a line break.
    const std::vector<CsvRow> rows = Parsed(
        "\xEF\xBB\xBFname,description\r\n\r\nA,\"one, two\"\r\nB,\"say \"\"hi\"\"\nthere\"\r\n"
        "C,\r\n");
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ("name", rows[0].fields[0]) << "the mark is not part of the first name";
    EXPECT_EQ(3u, rows[1].line) << "the empty line is passed over but counted";
    EXPECT_EQ("one, two", rows[1].fields[1]);
    EXPECT_EQ("say \"hi\"\nthere", rows[2].fields[1]);
    EXPECT_EQ(4u, rows[2].line);
    EXPECT_EQ(6u, rows[3].line) << "the line break inside quotes counts";
    EXPECT_EQ((std::vector<std::string>{"C", ""}), rows[3].fields);

    // Russian Excel: semicolons, decided by the header; commas are then plain text.
    const std::vector<CsvRow> semi = Parsed("name;description\nA;1,5\n");
    ASSERT_EQ(2u, semi.size());
    EXPECT_EQ((std::vector<std::string>{"A", "1,5"}), semi[1].fields);
    // No line end at the end of the file.
    EXPECT_EQ(2u, Parsed("a,b\nc,d").size());

    std::vector<CsvRow> rows2;
    std::wstring error;
    EXPECT_FALSE(modbus::ParseCsv("name\nA\n\xC3\x28\n", rows2, error));
    EXPECT_EQ(L"Строка 3: текст не в кодировке UTF-8.", error);
    EXPECT_FALSE(modbus::ParseCsv("name\n\"open\nstill\n", rows2, error));
    EXPECT_EQ(L"Строка 2: кавычка не закрыта.", error);

    EXPECT_EQ("a,\"b,c\",\"d\"\"e\",\"f\ng\"\r\n", modbus::CsvLine({"a", "b,c", "d\"e", "f\ng"}));
    EXPECT_EQ("a;\"b;c\";d,e\r\n", modbus::CsvLine({"a", "b;c", "d,e"}, ';'));
}

// A device with a tag of every kind of column, in a folder and at the top.
Model& Sample(Model& m, DWORD& plc) {
    plc = m.Add(0, Device("PLC", 502));
    const DWORD f = m.Add(plc, Folder("Analog"));
    const DWORD inner = m.Add(f, Folder("Inner"));
    modbus::ObjectSettings scaled =
        Tag("Temp", Table::kHoldingRegister, 10, DataType::kInt32, [](modbus::Encoding& e) {
            e.lowWordFirst = e.swapBytes = true;
            e.scaling = {true, -0.1, 1000.25, 1e-7, 123456.789};
        });
    scaled.description = driver_kit::Ansi(L"Temperature, \"north\"; °C");
    scaled.tag.ranged = true;
    scaled.tag.rangeLow = -40.5;
    scaled.tag.rangeHigh = 0.1;
    scaled.tag.units = "degC";
    m.Add(f, scaled);
    m.Add(inner, Tag("Name", Table::kInputRegister, 65530, DataType::kString,
                     [](modbus::Encoding& e) { e.stringRegisters = 6; }));
    m.Add(plc, Tag("Pump", Table::kCoil, 0, DataType::kBool));
    m.Add(plc, Tag("Alarm", Table::kDiscreteInput, 7, DataType::kBool));
    m.Add(plc, Tag("F64", Table::kHoldingRegister, 100, DataType::kFloat64));
    return m;
}

TEST(TagCsv, EveryColumnGoesOutAndComesBackTheSame) {
    Model source;
    DWORD plc = 0;
    Sample(source, plc);
    const std::string text = modbus::WriteTagCsv(source, plc);
    ASSERT_EQ(0u, text.find("\xEF\xBB\xBFname,description,table,address,type,")) << text;
    EXPECT_NE(std::string::npos,
              text.find("Analog.Inner.Name,,input_registers,65530,string,6,high_first,no,no,"))
        << text;

    Model target;
    const DWORD other = target.Add(0, Device("Other", 502));
    const modbus::TagImport import = modbus::ReadTagCsv(target, other, text);
    EXPECT_TRUE(import.refused.empty()) << modbus::RefusalText(import, 10).size();
    ASSERT_EQ(5u, import.good.size());
    EXPECT_EQ(5u, modbus::AddTagRows(target, other, import.good));
    EXPECT_EQ(text, modbus::WriteTagCsv(target, other));
    const DWORD temp = target.FindPath("Other.Analog.Temp");
    ASSERT_NE(0u, temp);
    const modbus::TagSettings t = target.Settings(temp)->tag;
    EXPECT_EQ(1e-7, t.encoding.scaling.euLow);
    EXPECT_EQ(123456.789, t.encoding.scaling.euHigh);
    EXPECT_EQ(-0.1, t.encoding.scaling.rawLow);
    EXPECT_TRUE(t.ranged);
    EXPECT_EQ(0.1, t.rangeHigh);
    EXPECT_EQ(driver_kit::Ansi(L"Temperature, \"north\"; °C"), target.Settings(temp)->description);

    // Only the required columns, semicolons, the engineers' notation and decimal commas.
    Model m;
    const DWORD d = m.Add(0, Device("D", 502));
    const modbus::TagImport short_ =
        modbus::ReadTagCsv(m, d,
                           "Type;Address;Name;Table;scaling;raw_low;raw_high;eu_low;eu_high\n"
                           "uint16;40001;A;;;;;;\nfloat32;7;B;4x;yes;0;10;0;1,5\n");
    ASSERT_TRUE(short_.refused.empty()) << modbus::RefusalText(short_, 10).size();
    modbus::AddTagRows(m, d, short_.good);
    EXPECT_EQ(Table::kHoldingRegister, m.Settings(m.FindPath("D.A"))->tag.table);
    EXPECT_EQ(0, m.Settings(m.FindPath("D.A"))->tag.address);
    EXPECT_EQ(1.5, m.Settings(m.FindPath("D.B"))->tag.encoding.scaling.euHigh);
}

TEST(TagCsv, EveryRefusedRowIsReportedWithItsLineAndNothingElseIsLost) {
    Model m;
    DWORD plc = 0;
    Sample(m, plc);
    const std::string text =
        "name,table,address,type,string_registers,read_only,range_low\n"
        "Good1,holding_registers,200,uint16,,,\n"
        "Pump,coils,5,bool,,,\n"                  // 3: the device has it already
        "X,holding_registers,65535,float32,,,\n"  // 4: past the end
        "Y,coils,1,int16,,,\n"                    // 5: a coil is a bool
        "\n"
        "Z,registers,1,uint16,,,\n"                // 7: no such table
        "Good2,input_registers,1,string,0,,\n"     // 8: a string of no registers
        "Analog._Diagnostics.T,coils,1,bool,,,\n"  // 9: the diagnostics' name
        "Good1,holding_registers,201,uint16,,,\n"  // 10: given twice
        "W,coils,2,bool,,yes,\n"                   // 11: a coil is written
        "V,holding_registers,3,uint16,,,5\n"       // 12: half a range
        "Pump.Inner,coils,3,bool,,,\n"             // 13: a tag is no folder
        "Good3,holding_registers,300,uint16,,,\n";
    const modbus::TagImport import = modbus::ReadTagCsv(m, plc, text);
    std::vector<std::wstring> lines;
    for (const std::wstring& r : import.refused) lines.push_back(r.substr(0, r.find(L':')));
    EXPECT_EQ((std::vector<std::wstring>{L"Строка 3", L"Строка 4", L"Строка 5", L"Строка 7",
                                         L"Строка 8", L"Строка 9", L"Строка 10", L"Строка 11",
                                         L"Строка 12", L"Строка 13"}),
              lines);
    EXPECT_EQ(L"Строка 3: Объект с таким именем уже есть на этом уровне.", import.refused[0]);
    EXPECT_EQ(L"Строка 9: Имя «_Diagnostics» занято папкой диагностики устройства.",
              import.refused[5]);
    ASSERT_EQ(2u, import.good.size()) << "Good1 and Good3";
    EXPECT_EQ(14u, import.good[1].line);

    // The header must name what a tag cannot do without.
    const modbus::TagImport noType = modbus::ReadTagCsv(m, plc, "name,address\nA,1\n");
    ASSERT_EQ(1u, noType.refused.size());
    EXPECT_EQ(0u, noType.refused[0].find(L"Строка 1: в заголовке нет столбца «type»"));
}

TEST(TagCsv, TwoThousandRowsAreReadAndAdded) {
    std::string text = "name;table;address;type\r\n";
    for (int i = 0; i < 2000; ++i)
        text += "Folder" + std::to_string(i / 100) + ".Tag" + std::to_string(i) +
                ";holding_registers;" + std::to_string(i) + ";uint16\r\n";
    Model m;
    const DWORD plc = m.Add(0, Device("PLC", 502));
    const auto start = std::chrono::steady_clock::now();
    const modbus::TagImport import = modbus::ReadTagCsv(m, plc, text);
    const size_t added = modbus::AddTagRows(m, plc, import.good);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_TRUE(import.refused.empty());
    EXPECT_EQ(2000u, added);
    EXPECT_EQ(20u, m.Children(plc, false).size());
    printf("2,000-row import: %lld ms\n", static_cast<long long>(ms));
}

TEST(Diagnostics, NamesAreTheDriversAndCountersResetButTheLinkStateStays) {
    Model m;
    const DWORD plc = m.Add(0, Device("PLC", 502));
    EXPECT_EQ(L"Имя «_Diagnostics» занято папкой диагностики устройства.",
              m.Check(plc, 0, Folder("_Diagnostics")));
    EXPECT_EQ(L"Имя «_Diagnostics» занято папкой диагностики устройства.",
              m.Check(plc, 0, Tag("_Diagnostics", Table::kCoil, 0, DataType::kBool)));
    EXPECT_EQ(L"", m.Check(0, 0, Device("_Diagnostics", 502))) << "a device may be called so";

    modbus::DiagnosticTags tags(m);
    const DWORD folder = tags.FindPath("PLC._Diagnostics");
    ASSERT_TRUE(tags.IsFolder(folder));
    const DWORD requests = tags.FindPath(".PLC._Diagnostics.Requests");
    ASSERT_TRUE(tags.IsTag(requests));
    EXPECT_EQ(0u, tags.FindPath("PLC._Diagnostics.Nothing"));
    EXPECT_EQ(0u, tags.FindPath("PLC._Diagnostics.Requests.X"));
    EXPECT_EQ(std::vector<std::string>{"_Diagnostics"}, tags.Children(plc, false));
    EXPECT_EQ(21u, tags.Children(folder, true).size());
    EXPECT_EQ(0u, tags.DeviceOf(requests ^ 0x1000)) << "a forged identifier names nothing";

    modbus::LinkBook book;
    book.Change(plc, [](modbus::LinkCounters& c) {
        c.requests = 5000000000ull;  // past VT_I4
        c.exceptions[2] = 3;
        c.connected = true;
        c.lastError = L"Устройство ответило исключением 2.";
    });
    EXPECT_EQ(0u, book.Shown(plc).requests) << "clients see counts only after an update";
    book.Publish();
    VARIANT v;
    VariantInit(&v);
    modbus::DiagnosticTags::Value(requests, book.Shown(plc), &v);
    EXPECT_EQ(VT_I4, V_VT(&v));
    EXPECT_EQ(2147483647, V_I4(&v));
    modbus::DiagnosticTags::Value(tags.FindPath("PLC._Diagnostics.Exception02"), book.Shown(plc),
                                  &v);
    EXPECT_EQ(3, V_I4(&v));
    modbus::DiagnosticTags::Value(tags.FindPath("PLC._Diagnostics.Exceptions"), book.Shown(plc),
                                  &v);
    EXPECT_EQ(3, V_I4(&v));
    modbus::DiagnosticTags::Value(tags.FindPath("PLC._Diagnostics.LastGoodAnswer"), book.Shown(plc),
                                  &v);
    EXPECT_EQ(VT_DATE, V_VT(&v));
    book.Reset(plc);
    const modbus::LinkCounters after = book.Shown(plc);
    EXPECT_EQ(0u, after.requests);
    EXPECT_EQ(0u, after.exceptions[2]);
    EXPECT_TRUE(after.connected);
    EXPECT_EQ(L"Устройство ответило исключением 2.", after.lastError);
    modbus::DiagnosticTags::Value(tags.FindPath("PLC._Diagnostics.LastError"), after, &v);
    EXPECT_EQ(VT_BSTR, V_VT(&v));
    VariantClear(&v);

    m.Remove(plc);
    EXPECT_FALSE(tags.IsTag(requests)) << "gone with its device";
}

}  // namespace
