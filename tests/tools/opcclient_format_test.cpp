// The tool's text forms in-process: JSON escaping, quality texts, values to and from text in
// the invariant locale, whatever the locale of the process.
#include <windows.h>
#include <gtest/gtest.h>
#include <limits>
#include <string>

#include "command_line.h"
#include "hresult_text.h"
#include "item_report.h"
#include "json_writer.h"
#include "opc.h"
#include "quality.h"
#include "text_table.h"
#include "tool_error.h"
#include "value_format.h"

namespace {

Variant Parsed(const std::wstring& text, VARTYPE type, HRESULT expected = S_OK) {
    Variant v;
    EXPECT_EQ(expected, ParseValue(text, type, v))
        << "parsing '" << std::string(text.begin(), text.end()) << "'";
    return v;
}

int UsageExit(std::initializer_list<const wchar_t*> args) {
    std::vector<const wchar_t*> argv{L"opcclient"};
    argv.insert(argv.end(), args);
    try {
        ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    } catch (const ToolError& e) {
        return e.ExitCode();
    }
    return 0;
}

TEST(JsonText, EscapesWhatJsonRequiresAndKeepsTheRest) {
    EXPECT_EQ(L"\"a\\\"b\\\\c\"", JsonQuote(L"a\"b\\c"));
    EXPECT_EQ(L"\"\\n\\t\\r\\b\\f\\u0001\\u001f\"", JsonQuote(L"\n\t\r\b\f\x01\x1f"));
    EXPECT_EQ(L"\"Темп €\"", JsonQuote(L"Темп €"));
    // A pair stays a character; a lone half has no UTF-8 form and is escaped.
    EXPECT_EQ(L"\"\xD83D\xDE00\"", JsonQuote(L"\xD83D\xDE00"));
    EXPECT_EQ(L"\"\\ud800x\"", JsonQuote(L"\xD800x"));
}

TEST(JsonText, NestsWithCommasAndIndentation) {
    JsonWriter pretty;
    pretty.BeginObject();
    pretty.Key(L"a");
    pretty.BeginArray();
    pretty.Integer(1);
    pretty.Number(2.5);
    pretty.EndArray();
    pretty.Key(L"empty");
    pretty.BeginObject();
    pretty.EndObject();
    pretty.Key(L"nan");
    pretty.Number(std::numeric_limits<double>::quiet_NaN());
    pretty.EndObject();
    EXPECT_EQ(L"{\n  \"a\": [\n    1,\n    2.5\n  ],\n  \"empty\": {},\n  \"nan\": null\n}\n",
              pretty.Text());

    JsonWriter line(JsonWriter::Layout::kOneLine);
    line.BeginObject();
    line.Key(L"b");
    line.Bool(true);
    line.Key(L"s");
    line.String(L"x");
    line.EndObject();
    EXPECT_EQ(L"{\"b\": true, \"s\": \"x\"}\n", line.Text());
}

TEST(QualityTexts, NameQualitySubstatusAndLimit) {
    EXPECT_EQ(L"good", QualityText(OPC_QUALITY_GOOD));
    EXPECT_EQ(L"good: local override", QualityText(OPC_QUALITY_LOCAL_OVERRIDE));
    EXPECT_EQ(L"bad", QualityText(OPC_QUALITY_BAD));
    EXPECT_EQ(L"bad: not connected", QualityText(OPC_QUALITY_NOT_CONNECTED));
    EXPECT_EQ(L"bad: out of service", QualityText(OPC_QUALITY_OUT_OF_SERVICE));
    EXPECT_EQ(L"uncertain: last usable value, low limited",
              QualityText(OPC_QUALITY_LAST_USABLE | OPC_LIMIT_LOW));
    EXPECT_EQ(L"good: constant", QualityText(OPC_QUALITY_GOOD | OPC_LIMIT_CONST));
    EXPECT_EQ(L"uncertain: substatus 2", QualityText(0x48));
    EXPECT_EQ(L"invalid", QualityName(0x80));
}

TEST(ValueText, NumbersUseThePointInAnyLocale) {
    // The tests run with the Russian locale, whose decimal separator is a comma.
    const LCID saved = GetThreadLocale();
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT));
    Variant r4 = Parsed(L"12.5", VT_R4);
    EXPECT_EQ(VT_R4, r4.Type());
    EXPECT_EQ(12.5f, V_R4(r4.Get()));
    EXPECT_EQ(L"12.5", FormatValue(*r4.Get()));
    SetThreadLocale(saved);

    EXPECT_EQ(L"-7", FormatValue(*Parsed(L"-7", VT_I4).Get()));
    Parsed(L"abc", VT_I4, DISP_E_TYPEMISMATCH);
    Parsed(L"", VT_R8, DISP_E_TYPEMISMATCH);
    Parsed(L"99999999999", VT_I4, DISP_E_OVERFLOW);
}

TEST(ValueText, BooleansStringsAndArrays) {
    for (const wchar_t* yes : {L"true", L"TRUE", L"1"})
        EXPECT_EQ(VARIANT_TRUE, V_BOOL(Parsed(yes, VT_BOOL).Get()));
    for (const wchar_t* no : {L"false", L"0"})
        EXPECT_EQ(VARIANT_FALSE, V_BOOL(Parsed(no, VT_BOOL).Get()));
    Parsed(L"yes", VT_BOOL, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(L"true", FormatValue(*Parsed(L"1", VT_BOOL).Get()));

    const Variant text = Parsed(L"привет", VT_BSTR);
    EXPECT_EQ(L"\"привет\"", FormatValue(*text.Get()));
    EXPECT_EQ(L"привет", FormatValue(*text.Get(), false));

    const Variant array = Parsed(L"[1.5, -2, 3]", VT_ARRAY | VT_R8);
    EXPECT_EQ(VT_ARRAY | VT_R8, array.Type());
    EXPECT_EQ(L"[1.5, -2, 3]", FormatValue(*array.Get()));
    JsonWriter json(JsonWriter::Layout::kOneLine);
    WriteJsonValue(json, *array.Get());
    EXPECT_EQ(L"[1.5, -2, 3]\n", json.Text());
    Parsed(L"[1, x]", VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH);
}

TEST(ValueText, TypeNames) {
    EXPECT_EQ(L"VT_R4", VarTypeName(VT_R4));
    EXPECT_EQ(L"VT_BSTR", VarTypeName(VT_BSTR));
    EXPECT_EQ(L"VT_ARRAY | VT_UI2", VarTypeName(VT_ARRAY | VT_UI2));
    EXPECT_EQ(L"VT_99", VarTypeName(99));
}

TEST(ToolCommandLine, OptionsAnywhereWithStrictValues) {
    const wchar_t* argv[] = {L"opcclient", L"--json",  L"watch", L"P",  L"--rate=250",
                             L"I",         L"--count", L"3",     L"--", L"--odd"};
    const Options o = ParseCommandLine(10, argv);
    EXPECT_EQ(L"watch", o.command);
    EXPECT_EQ((std::vector<std::wstring>{L"P", L"I", L"--odd"}), o.arguments);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(250u, o.rate);
    EXPECT_EQ(3u, o.count.value_or(0));
    EXPECT_EQ(unsigned{kOptJson | kOptRate | kOptCount}, o.given);

    EXPECT_EQ(0, UsageExit({L"bench", L"P", L"I", L"--sizes", L"10,100"}));
    for (auto bad : {std::initializer_list<const wchar_t*>{L"read", L"--frob"},
                     {L"watch", L"--rate"},
                     {L"watch", L"--rate", L"-5"},
                     {L"watch", L"--rate", L"12abc"},
                     {L"bench", L"--sizes", L"10,,100"},
                     {L"read", L"--json=yes"}})
        EXPECT_EQ(kExitUsage, UsageExit(bad));
}

TEST(ToolCommandLine, AChangeShareIsAPercentFromZeroToAHundred) {
    auto parsed = [](const wchar_t* share) {
        const wchar_t* argv[] = {L"opcclient", L"bench", L"--change", share};
        return ParseCommandLine(4, argv).change.value_or(-1);
    };
    EXPECT_EQ(1.0, parsed(L"1%"));
    EXPECT_EQ(0.5, parsed(L"0.5"));
    EXPECT_EQ(0.0, parsed(L"0"));
    EXPECT_EQ(100.0, parsed(L"100%"));
    for (const wchar_t* bad : {L"101", L"100.5%", L"1%%", L"%", L"", L".5", L"1.", L"1,5", L"1e2",
                               L"-1", L"+1", L"five", L"1 %"})
        EXPECT_EQ(kExitUsage, UsageExit({L"bench", L"--change", bad})) << std::wstring(bad).c_str();
}

TEST(TextTables, AlignColumns) {
    TextTable table({L"Name", L"N"});
    table.AlignRight(1);
    table.AddRow({L"Темп", L"5"});
    table.AddRow({L"a", L"100"});
    EXPECT_EQ(L"Name    N\n----  ---\nТемп    5\na     100\n", table.Render());
}

TEST(JsonText, NumbersInTheirShortestExactForm) {
    JsonWriter json(JsonWriter::Layout::kOneLine);
    json.BeginArray();
    json.Number(0.1);
    json.Number(1e21);
    json.Number(-0.5);
    json.Unsigned(4294967295u);
    json.Integer(-12);
    json.RawNumber(L"18446744073709551615");
    json.EndArray();
    EXPECT_EQ(L"[0.1, 1e+21, -0.5, 4294967295, -12, 18446744073709551615]\n", json.Text());
}

TEST(QualityTexts, VendorBitsAreShown) {
    EXPECT_EQ(L"good (vendor bits 0x12)", QualityText(0x12C0));
}

TEST(ValueText, DatesLargeIntegersAndEmpty) {
    Variant date;
    V_VT(date.Get()) = VT_DATE;
    SYSTEMTIME t{2024, 5, 0, 1, 12, 34, 56, 0};
    SystemTimeToVariantTime(&t, &V_DATE(date.Get()));
    EXPECT_EQ(L"2024-05-01 12:34:56.000", FormatValue(*date.Get()));

    Variant big;
    V_VT(big.Get()) = VT_UI8;
    V_UI8(big.Get()) = 18446744073709551615ull;
    EXPECT_EQ(L"18446744073709551615", FormatValue(*big.Get()));
    // Kept exact: a double would round it.
    JsonWriter json(JsonWriter::Layout::kOneLine);
    WriteJsonValue(json, *big.Get());
    EXPECT_EQ(L"18446744073709551615\n", json.Text());

    Variant empty;
    EXPECT_EQ(L"", FormatValue(*empty.Get()));
}

TEST(ItemReports, CarryNullsWhereTheServerGaveNothing) {
    ItemReport refused;
    refused.item = L"Probe.Dev.Nothing";
    refused.error = OPC_E_INVALIDITEMID;
    refused.errorText = L"Ошибка не описана";
    EXPECT_EQ(L"0xC0040008 OPC_E_INVALIDITEMID Ошибка не описана", ErrorCell(refused));
    JsonWriter json(JsonWriter::Layout::kOneLine);
    WriteJsonItem(json, refused);
    EXPECT_EQ(
        L"{\"item\": \"Probe.Dev.Nothing\", \"value\": null, \"type\": \"VT_EMPTY\", "
        L"\"quality\": null, \"quality_text\": null, \"timestamp\": null, "
        L"\"error\": \"0xC0040008\", \"error_text\": \"Ошибка не описана\"}\n",
        json.Text());

    ItemReport good;
    good.item = L"A";
    good.quality = OPC_QUALITY_LOCAL_OVERRIDE;
    EXPECT_EQ(L"", ErrorCell(good));
    JsonWriter line(JsonWriter::Layout::kOneLine);
    WriteJsonItem(line, good);
    EXPECT_NE(std::wstring::npos, line.Text().find(L"\"quality\": 216, \"quality_text\": "
                                                   L"\"good: local override\""));
}

TEST(ResultCodes, HexWithTheNameWhenThereIsOne) {
    EXPECT_EQ(L"0xC0040006 OPC_E_BADRIGHTS", CodeWithName(OPC_E_BADRIGHTS));
    EXPECT_EQ(L"0x0004000E OPC_S_CLAMP", CodeWithName(OPC_S_CLAMP));
    EXPECT_EQ(L"0x12345678", CodeWithName(0x12345678));
    EXPECT_EQ(0u, DescribeFailure(REGDB_E_CLASSNOTREG).rfind(L"0x80040154 REGDB_E_CLASSNOTREG", 0));
}

}  // namespace
