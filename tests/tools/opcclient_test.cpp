// The opcclient tool end to end: run as a child process against a registered copy of the
// server with the probe's tree, its output read from pipes as a script would.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "null_server_process.h"
#include "opc_client_fixture.h"

namespace {

using ToolRun = ChildRun;

ToolRun RunTool(const std::wstring& arguments) {
    return RunChild(L"opcclient.exe", arguments);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The line of a table that starts with `item` (followed by padding).
std::string Row(const std::string& table, const std::string& item) {
    for (const std::string& line : Lines(table))
        if (line.rfind(item + " ", 0) == 0) return line;
    return "";
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

constexpr const wchar_t* kServer = L"OPCServerVEXA.OPCServer";

std::wstring With(const wchar_t* command, const std::wstring& rest) {
    return std::wstring(command) + L" " + kServer + L" " + rest;
}

TEST(OpcClientUsage, HelpSucceedsAndBadUsageIsExitTwo) {
    ToolRun help = RunTool(L"--help");
    EXPECT_EQ(0u, help.exitCode);
    for (const char* command :
         {"list", "status", "browse", "props", "read", "write", "watch", "bench"})
        EXPECT_TRUE(Has(help.out, std::string("  ") + command + " ")) << command;
    for (const wchar_t* command :
         {L"list", L"status", L"browse", L"props", L"read", L"write", L"watch", L"bench"}) {
        ToolRun one = RunTool(std::wstring(command) + L" --help");
        EXPECT_EQ(0u, one.exitCode);
        EXPECT_EQ(
            0u, one.out.rfind("usage: opcclient " + std::string(command, command + wcslen(command)),
                              0));
    }
    for (const wchar_t* bad :
         {L"", L"frob", L"read P", L"write P Probe.Dev.Count", L"read P I --rate 5",
          L"watch P I --rate 0", L"bench P I --sizes 10,x", L"status P Q", L"read P I --frob"}) {
        ToolRun run = RunTool(bad);
        EXPECT_EQ(2u, run.exitCode) << std::string(bad, bad + wcslen(bad));
        EXPECT_EQ(1u, Lines(run.err).size()) << run.err;
        EXPECT_EQ(0u, run.err.rfind("opcclient: ", 0)) << run.err;
        EXPECT_EQ("", run.out);
    }
}

class OpcClientTool : public RegisteredServerTest {};

TEST_F(OpcClientTool, ListFindsTheRegisteredServer) {
    ToolRun table = RunTool(L"list");
    EXPECT_EQ(0u, table.exitCode) << table.err;
    const std::string row = Row(table.out, "OPCServerVEXA.OPCServer.1");
    EXPECT_TRUE(Has(row, "1.0, 2.0, 3.0")) << table.out;

    ToolRun json = RunTool(L"list --json");
    EXPECT_EQ(0u, json.exitCode) << json.err;
    const size_t entry = json.out.find("\"progid\": \"OPCServerVEXA.OPCServer");
    ASSERT_NE(std::string::npos, entry) << json.out;
    const std::string object = json.out.substr(entry, json.out.find("\n  }", entry) - entry);
    EXPECT_TRUE(Has(object, "\"da20\": true")) << object;
    EXPECT_TRUE(Has(object, "\"da30\": true")) << object;
    EXPECT_TRUE(Has(object, "\"clsid\": \"{")) << object;
}

TEST_F(OpcClientTool, StatusReportsTheRunningServer) {
    ToolRun text = RunTool(std::wstring(L"status ") + kServer);
    EXPECT_EQ(0u, text.exitCode) << text.err;
    EXPECT_TRUE(Has(text.out, "State:        running")) << text.out;
    EXPECT_TRUE(Has(text.out, "Vendor:       VEXA")) << text.out;
    EXPECT_TRUE(Has(text.out, "Locale:       ")) << text.out;

    ToolRun json = RunTool(std::wstring(L"status ") + kServer + L" --json");
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_EQ('{', json.out.front());
    EXPECT_TRUE(Has(json.out, "\"state\": \"running\"")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"vendor\": \"VEXA")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"locale\": ")) << json.out;
}

TEST_F(OpcClientTool, AServerCanBeNamedByItsClsid) {
    ToolRun list = RunTool(L"list --json");
    const size_t at = list.out.find("\"clsid\": \"", list.out.find("OPCServerVEXA.OPCServer"));
    ASSERT_NE(std::string::npos, at) << list.out;
    const std::string clsid = list.out.substr(at + 10, 38);
    ToolRun status = RunTool(L"status " + std::wstring(clsid.begin(), clsid.end()));
    EXPECT_EQ(0u, status.exitCode) << status.err;
    EXPECT_TRUE(Has(status.out, "State:        running")) << status.out;

    ToolRun unknown = RunTool(L"status {00000000-0000-0000-0000-00000000BEEF}");
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_EQ(0u, unknown.err.rfind(
                      "opcclient: cannot start {00000000-0000-0000-0000-00000000BEEF}: 0x", 0))
        << unknown.err;
    EXPECT_EQ(1u, Lines(unknown.err).size()) << unknown.err;
}

TEST_F(OpcClientTool, AnUnknownServerIsOneLineAndExitOne) {
    for (const wchar_t* arguments :
         {L"status Nowhere.Server", L"read Nowhere.Server Probe.Dev.Temp",
          L"watch Nowhere.Server Probe.Dev.Temp --count 1"}) {
        ToolRun run = RunTool(arguments);
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_EQ("opcclient: no server registered as Nowhere.Server\n", run.err);
        EXPECT_EQ("", run.out);
    }
}

TEST_F(OpcClientTool, ReadFromTheDeviceShowsValuesTypesAndQualities) {
    ToolRun table = RunTool(
        With(L"read", L"Probe.Dev.Temp Probe.Dev.Count Probe.Dev.Text Probe.Dev.Темп --device"));
    EXPECT_EQ(0u, table.exitCode) << table.err;
    EXPECT_EQ("", table.err);
    const std::string temp = Row(table.out, "Probe.Dev.Temp");
    EXPECT_TRUE(Has(temp, " 21.5 ") && Has(temp, " VT_R4 ") && Has(temp, " good ")) << temp;
    const std::string count = Row(table.out, "Probe.Dev.Count");
    EXPECT_TRUE(Has(count, " 7 ") && Has(count, " VT_I4 ")) << count;
    EXPECT_TRUE(Has(Row(table.out, "Probe.Dev.Text"), " \"hello\" ")) << table.out;
    EXPECT_TRUE(Has(Row(table.out, "Probe.Dev.Темп"), " 3 ")) << table.out;

    ToolRun json =
        RunTool(With(L"read", L"Probe.Dev.Temp Probe.Dev.Count Probe.Dev.Text --device --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_EQ('[', json.out.front());
    for (const char* part :
         {"\"item\": \"Probe.Dev.Temp\",\n    \"value\": 21.5,\n    \"type\": \"VT_R4\"",
          "\"value\": 7,", "\"value\": \"hello\",", "\"quality\": 192,",
          "\"quality_text\": \"good\"", "\"error\": \"0x00000000\""})
        EXPECT_TRUE(Has(json.out, part)) << part << " in\n" << json.out;
}

TEST_F(OpcClientTool, AnAsynchronousReadShowsWhatOnReadCompleteBrought) {
    ToolRun run =
        RunTool(With(L"read", L"Probe.Dev.Temp Probe.Dev.Nothing Probe.Dev.Text --async"));
    EXPECT_EQ(1u, run.exitCode) << "one item is unknown";
    EXPECT_TRUE(Has(Row(run.out, "Probe.Dev.Temp"), " 21.5 ")) << run.out;
    EXPECT_TRUE(Has(Row(run.out, "Probe.Dev.Text"), " \"hello\" ")) << run.out;
    EXPECT_TRUE(Has(Row(run.out, "Probe.Dev.Nothing"), "0xC0040008")) << run.out;

    ToolRun both = RunTool(With(L"read", L"Probe.Dev.Temp --async --device"));
    EXPECT_EQ(2u, both.exitCode) << both.err;
}

TEST_F(OpcClientTool, ACacheReadShowsWhatTheServerKeepsCurrent) {
    ToolRun run = RunTool(With(L"read", L"Probe.Dev.Temp"));
    EXPECT_EQ(0u, run.exitCode) << run.err;
    const std::string temp = Row(run.out, "Probe.Dev.Temp");
    EXPECT_TRUE(Has(temp, " 21.5 ")) << "the first update cycle has filled the cache: " << temp;
}

TEST_F(OpcClientTool, AnUnknownItemIsReportedAndFailsTheRead) {
    ToolRun run = RunTool(With(L"read", L"Probe.Dev.Temp Probe.Dev.Nothing --device"));
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Has(Row(run.out, "Probe.Dev.Temp"), "21.5")) << run.out;
    EXPECT_TRUE(Has(Row(run.out, "Probe.Dev.Nothing"), "0xC0040008")) << run.out;
    ASSERT_EQ(1u, Lines(run.err).size()) << run.err;
    EXPECT_EQ(0u, run.err.rfind("opcclient: unknown item Probe.Dev.Nothing: 0xC0040008", 0))
        << run.err;

    ToolRun json = RunTool(With(L"read", L"Probe.Dev.Nothing --json"));
    EXPECT_EQ(1u, json.exitCode);
    EXPECT_TRUE(Has(json.out, "\"value\": null")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"error\": \"0xC0040008\"")) << json.out;
}

TEST_F(OpcClientTool, AWriteIsWhatTheNextDeviceReadShows) {
    ToolRun write =
        RunTool(With(L"write", L"Probe.Dev.Count=12 Probe.Dev.Temp=-3.25 \"Probe.Dev.Text=a b\""));
    EXPECT_EQ(0u, write.exitCode) << write.err;
    EXPECT_TRUE(Has(Row(write.out, "Probe.Dev.Count"), " 12 ")) << write.out;
    EXPECT_TRUE(Has(Row(write.out, "Probe.Dev.Temp"), " ok")) << write.out;

    ToolRun read =
        RunTool(With(L"read", L"Probe.Dev.Count Probe.Dev.Temp Probe.Dev.Text --device --json"));
    EXPECT_EQ(0u, read.exitCode) << read.err;
    EXPECT_TRUE(Has(read.out, "\"value\": 12,")) << read.out;
    EXPECT_TRUE(Has(read.out, "\"value\": -3.25,")) << read.out;
    EXPECT_TRUE(Has(read.out, "\"value\": \"a b\",")) << read.out;
}

TEST_F(OpcClientTool, RefusedWritesFailWithTheirReason) {
    ToolRun readOnly = RunTool(With(L"write", L"Probe.Dev.Fixed=1 Probe.Dev.Count=8"));
    EXPECT_EQ(1u, readOnly.exitCode);
    // The code's name and what the server says about it, in the server's language.
    const std::string badRights =
        "0xC0040006 OPC_E_BADRIGHTS Права доступа к элементу не допускают эту операцию "
        "(например, запись в элемент только для чтения).";
    EXPECT_TRUE(Has(Row(readOnly.out, "Probe.Dev.Fixed"), badRights)) << readOnly.out;
    EXPECT_TRUE(Has(Row(readOnly.out, "Probe.Dev.Count"), " ok")) << readOnly.out;
    EXPECT_EQ(0u, readOnly.err.rfind("opcclient: cannot write Probe.Dev.Fixed: " + badRights, 0))
        << readOnly.err;
    EXPECT_EQ(1u, Lines(readOnly.err).size()) << "the text's line break is not the tool's";

    ToolRun badValue = RunTool(With(L"write", L"Probe.Dev.Count=abc"));
    EXPECT_EQ(1u, badValue.exitCode);
    EXPECT_EQ(0u, badValue.err.rfind("opcclient: bad value for Probe.Dev.Count: 'abc'", 0))
        << badValue.err;

    ToolRun unknown = RunTool(With(L"write", L"Probe.Dev.Nothing=1 --json"));
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_TRUE(Has(unknown.out, "\"error\": \"0xC0040008\"")) << unknown.out;
    EXPECT_TRUE(Has(unknown.out,
                    "\"error_text\": \"Идентификатор элемента не соответствует "
                    "синтаксису этого сервера.\""))
        << unknown.out;
    EXPECT_TRUE(Has(unknown.err, "unknown item Probe.Dev.Nothing")) << unknown.err;

    // Nothing of it reached the device but the one good value.
    ToolRun read = RunTool(With(L"read", L"Probe.Dev.Fixed Probe.Dev.Count --device --json"));
    EXPECT_TRUE(Has(read.out, "\"value\": 42,")) << read.out;
    EXPECT_TRUE(Has(read.out, "\"value\": 8,")) << read.out;
}

// The OPC DA 3.0 calls: by identifier without a group (--da3), and a group's WriteVQT (--vqt),
// whose refusal of a quality shows per item as any other refusal.
TEST_F(OpcClientTool, TheDa3CallsReadAndWriteByIdentifierAndRefuseQualities) {
    ToolRun write = RunTool(With(L"write", L"Probe.Dev.Count=31 Probe.Dev.Temp=4.5 --da3"));
    EXPECT_EQ(0u, write.exitCode) << write.err;
    EXPECT_TRUE(Has(Row(write.out, "Probe.Dev.Count"), " 31 ")) << write.out;
    EXPECT_TRUE(Has(Row(write.out, "Probe.Dev.Temp"), " VT_R4 ")) << write.out;

    ToolRun read = RunTool(
        With(L"read", L"Probe.Dev.Count Probe.Dev.Temp Probe.Dev.Nothing --da3 --max-age 0"));
    EXPECT_EQ(1u, read.exitCode);
    EXPECT_TRUE(Has(Row(read.out, "Probe.Dev.Count"), " 31 ")) << read.out;
    EXPECT_TRUE(Has(Row(read.out, "Probe.Dev.Temp"), " 4.5 ")) << read.out;
    EXPECT_TRUE(Has(Row(read.out, "Probe.Dev.Nothing"), "0xC0040007 OPC_E_UNKNOWNITEMID"))
        << read.out;
    EXPECT_TRUE(Has(read.err, "cannot read Probe.Dev.Nothing")) << read.err;

    ToolRun refused =
        RunTool(With(L"write", L"Probe.Dev.Count=32 --vqt --quality 0xC0 --timestamp now"));
    EXPECT_EQ(1u, refused.exitCode);
    EXPECT_TRUE(Has(Row(refused.out, "Probe.Dev.Count"), "0xC0040406 OPC_E_NOTSUPPORTED"))
        << refused.out;
    ToolRun plain = RunTool(With(L"write", L"Probe.Dev.Count=33 --vqt"));
    EXPECT_EQ(0u, plain.exitCode) << plain.err;

    ToolRun group = RunTool(With(L"read", L"Probe.Dev.Count --max-age 60000 --json"));
    EXPECT_EQ(0u, group.exitCode) << group.err;
    EXPECT_TRUE(Has(group.out, "\"value\": 33,")) << group.out;

    for (const wchar_t* bad : {L"read P I --max-age 5 --device", L"read P I --da3 --async",
                               L"write P I=1 --quality 1", L"read P I --max-age x"})
        EXPECT_EQ(2u, RunTool(bad).exitCode) << std::wstring(bad).size();
}

TEST_F(OpcClientTool, WatchPrintsEveryItemAndStopsAfterTheCount) {
    ToolRun text = RunTool(With(L"watch", L"Probe.Dev.Temp Probe.Dev.Count --rate 300 --count 3"));
    EXPECT_EQ(0u, text.exitCode) << text.err;
    const std::vector<std::string> lines = Lines(text.out);
    ASSERT_GE(lines.size(), 2u) << text.out;
    EXPECT_TRUE(Has(lines[0], " Probe.Dev.Temp = ") && Has(lines[0], " (VT_R4, ")) << lines[0];
    EXPECT_TRUE(Has(lines[1], " Probe.Dev.Count = ") && Has(lines[1], " (VT_I4, ")) << lines[1];

    ToolRun json =
        RunTool(With(L"watch", L"Probe.Dev.Text --rate 300 --count 2 --poll --device --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    ASSERT_GE(Lines(json.out).size(), 1u);
    for (const std::string& line : Lines(json.out)) {
        EXPECT_EQ('{', line.front()) << line;
        EXPECT_EQ('}', line.back()) << line;
        EXPECT_TRUE(Has(line, "\"item\": \"Probe.Dev.Text\"")) << line;
    }
}

TEST_F(OpcClientTool, WatchOnCallbacksPrintsOnlyWhatChanged) {
    // The server reports every item at every cycle; the tool prints an item again only when
    // its value, quality or timestamp changed (here the timestamp, when a scan came between).
    ToolRun run = RunTool(With(L"watch", L"Probe.Dev.Count Probe.Dev.Text --rate 250 --count 4"));
    EXPECT_EQ(0u, run.exitCode) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    EXPECT_GE(lines.size(), 2u) << run.out;
    EXPECT_LE(lines.size(), 8u) << run.out;
    for (const std::string& line : lines)
        EXPECT_TRUE(Has(line, " Probe.Dev.Count = 7 (VT_I4, good)") ||
                    Has(line, " Probe.Dev.Text = \"hello\" (VT_BSTR, good)"))
            << line;
    EXPECT_EQ(2u, RunTool(With(L"watch", L"Probe.Dev.Count --device")).exitCode)
        << "--device is for polling";
}

TEST_F(OpcClientTool, TheDa1WayWatchesAndReadsThroughStreams) {
    ToolRun watch =
        RunTool(With(L"watch", L"Probe.Dev.Count Probe.Dev.Text --rate 250 --count 2 --da1"));
    EXPECT_EQ(0u, watch.exitCode) << watch.err;
    const std::vector<std::string> lines = Lines(watch.out);
    ASSERT_GE(lines.size(), 2u) << watch.out;
    EXPECT_TRUE(Has(lines[0], " Probe.Dev.Count = 7 (VT_I4, good)")) << lines[0];
    EXPECT_TRUE(Has(lines[1], " Probe.Dev.Text = \"hello\" (VT_BSTR, good)")) << lines[1];

    ToolRun read = RunTool(With(L"read", L"Probe.Dev.Temp Probe.Dev.Nothing --da1"));
    EXPECT_EQ(1u, read.exitCode) << "one item is unknown";
    EXPECT_TRUE(Has(Row(read.out, "Probe.Dev.Temp"), " 21.5 ")) << read.out;
    EXPECT_EQ(2u, RunTool(With(L"watch", L"Probe.Dev.Count --da1 --poll")).exitCode);
}

TEST_F(OpcClientTool, WatchGoesOnWithTheItemsTheServerKnows) {
    ToolRun run =
        RunTool(With(L"watch", L"Probe.Dev.Nothing Probe.Dev.Count --rate 200 --count 2"));
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Has(run.out, " Probe.Dev.Count = ")) << run.out;
    EXPECT_FALSE(Has(run.out, "Probe.Dev.Nothing")) << run.out;
    EXPECT_EQ(0u, run.err.rfind("opcclient: unknown item Probe.Dev.Nothing", 0)) << run.err;
}

// The probe's items have no engineering range, so none takes a deadband; every cycle sends
// them, so no keep-alive is needed, and the server's revision of a too short time is told.
TEST_F(OpcClientTool, WatchAsksForDa3KeepAlivesAndItemDeadbands) {
    ToolRun run =
        RunTool(With(L"watch",
                     L"Probe.Dev.Count Probe.Dev.Text --rate 250 --count 2 --item-deadband 5 "
                     L"--keep-alive 1"));
    EXPECT_EQ(1u, run.exitCode) << "an item refused its deadband";
    EXPECT_TRUE(Has(run.out, " Probe.Dev.Count = 7 (VT_I4, good)")) << run.out;
    EXPECT_TRUE(Has(run.err,
                    "opcclient: cannot set the deadband of Probe.Dev.Count: 0xC0040401 "
                    "OPC_E_DEADBANDNOTSUPPORTED"))
        << run.err;
    EXPECT_TRUE(Has(run.err, "opcclient: cannot set the deadband of Probe.Dev.Text: ")) << run.err;
    EXPECT_TRUE(Has(run.err, "opcclient: the server keeps alive every 250 ms")) << run.err;
    for (const wchar_t* bad : {L"--keep-alive 0", L"--item-deadband 100.5", L"--item-deadband x",
                               L"--keep-alive 500 --poll", L"--item-deadband 5 --da1"})
        EXPECT_EQ(2u, RunTool(With(L"watch", std::wstring(L"Probe.Dev.Count ") + bad)).exitCode)
            << bad;
}

TEST_F(OpcClientTool, BenchMeasuresEveryOperationAndSize) {
    ToolRun json = RunTool(With(L"bench", L"Probe.Dev.Temp --sizes 10,100 --runs 1 --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_TRUE(Has(json.out, "\"runs\": 1,")) << json.out;
    for (const char* operation :
         {"add_items", "read_cache", "read_device", "write", "remove_items"})
        for (const char* size : {"10", "100"})
            EXPECT_TRUE(Has(json.out, std::string("\"operation\": \"") + operation +
                                          "\",\n      \"size\": " + size +
                                          ",\n      \"items_per_second\": "))
                << operation << " " << size << " in\n"
                << json.out;
    // The server is watched from outside: its CPU time per item and its memory.
    EXPECT_TRUE(Has(json.out, "\"server_cpu_us_per_item\": ")) << json.out;
    EXPECT_FALSE(Has(json.out, "\"server_cpu_us_per_item\": -")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"server_memory\": {")) << json.out;
    EXPECT_TRUE(Has(json.out, "\"peak\": ")) << json.out;

    ToolRun table = RunTool(With(L"bench", L"Probe.Dev.Fixed --sizes 5 --runs 2"));
    EXPECT_EQ(0u, table.exitCode) << table.err;
    EXPECT_TRUE(Has(table.out, "median of 2 runs")) << table.out;
    EXPECT_TRUE(Has(table.out, "Server CPU us/item")) << table.out;
    EXPECT_TRUE(Has(table.out, "Server memory: ")) << table.out;
    // A read-only item is read but not written.
    EXPECT_TRUE(Has(Row(table.out, "Write"), " -")) << table.out;

    ToolRun unknown = RunTool(With(L"bench", L"Probe.Dev.Nothing --sizes 5 --runs 1"));
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_EQ(0u, unknown.err.rfind("opcclient: unknown item Probe.Dev.Nothing", 0)) << unknown.err;
}

TEST_F(OpcClientTool, BenchVersusPairsEveryOperationWithTheNullServer) {
    ComPtr<IOPCServer> running = ConnectNullServer();
    ASSERT_TRUE(running) << "OPCNullServer.Bench.1 is not registered";
    ToolRun json = RunTool(With(
        L"bench", L"Probe.Dev.Temp --versus OPCNullServer.Bench.1 --sizes 10 --runs 1 --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_TRUE(Has(json.out, "\"versus\": \"OPCNullServer.Bench.1\",")) << json.out;
    for (const char* operation :
         {"add_items", "read_cache", "read_device", "write", "remove_items"})
        EXPECT_TRUE(Has(json.out, std::string("\"operation\": \"") + operation +
                                      "\",\n      \"size\": 10,\n      \"time_ratio\": "))
            << operation << " in\n"
            << json.out;
    // The null server has no reads by identifier: those have no pair.
    EXPECT_FALSE(Has(json.out, "item_io")) << json.out;
    EXPECT_FALSE(Has(json.out, "\"time_ratio\": 0,")) << json.out;

    ToolRun table = RunTool(
        With(L"bench", L"Probe.Dev.Temp --versus OPCNullServer.Bench.1 --sizes 5 --runs 2"));
    EXPECT_EQ(0u, table.exitCode) << table.err;
    EXPECT_TRUE(Has(table.out, "(B), 2 pairs of runs")) << table.out;
    EXPECT_TRUE(Has(Row(table.out, "RemoveItems"), " 5 ")) << table.out;

    // A second server that is not there fails like the first; --versus pairs item calls only.
    ToolRun nowhere =
        RunTool(With(L"bench", L"Probe.Dev.Temp --versus Nowhere.Server --sizes 5 --runs 1"));
    EXPECT_EQ(1u, nowhere.exitCode);
    EXPECT_EQ("opcclient: no server registered as Nowhere.Server\n", nowhere.err);
    EXPECT_EQ(2u, RunTool(With(L"bench", L"Probe.Dev.Temp --subscribe --versus X")).exitCode);
    EXPECT_EQ(2u, RunTool(With(L"bench", L"Probe.Dev.Temp --versus")).exitCode);
    // The yardstick is no OPC server to offer anyone.
    EXPECT_FALSE(Has(RunTool(L"list").out, "OPCNullServer")) << "listed";
    running.Reset();
    StopNullServers();
}

TEST_F(OpcClientTool, BenchMeasuresSubscriptionsAndTheIdleCost) {
    ToolRun run = RunTool(
        With(L"bench", L"Probe.Dev.Temp --subscribe --groups 2 --items 50 --seconds 2 --json"));
    EXPECT_EQ(0u, run.exitCode) << run.err;
    for (const char* key :
         {"\"values_per_second\": ", "\"callbacks_per_second\": ", "\"median_interval_ms\": ",
          "\"max_interval_ms\": ", "\"server_cpu\": {", "\"us_per_value\": ", "\"client_cpu\": {"})
        EXPECT_TRUE(Has(run.out, key)) << key << " in\n" << run.out;
    // Two groups at 250 ms for two seconds: about 16 callbacks of 50 values.
    EXPECT_FALSE(Has(run.out, "\"values_per_second\": 0,")) << run.out;

    ToolRun idle = RunTool(With(L"bench", L"Probe.Dev.Temp --idle --groups 5 --seconds 1"));
    EXPECT_EQ(0u, idle.exitCode) << idle.err;
    EXPECT_TRUE(Has(idle.out, "5 inactive groups: server ")) << idle.out;
    EXPECT_TRUE(Has(idle.out, "5 active groups of 10 items at 1000 ms, no subscriber: server "))
        << idle.out;

    EXPECT_EQ(2u, RunTool(With(L"bench", L"Probe.Dev.Temp --groups 2")).exitCode)
        << "--groups needs --subscribe or --idle";
    EXPECT_EQ(2u, RunTool(With(L"bench", L"Probe.Dev.Temp --idle --runs 2")).exitCode);
}

TEST_F(OpcClientTool, BrowsePrintsTheTreeWithItemIdentifiers) {
    ToolRun tree = RunTool(With(L"browse", L""));
    EXPECT_EQ(0u, tree.exitCode) << tree.err;
    const std::vector<std::string> lines = Lines(tree.out);
    ASSERT_GE(lines.size(), 4u) << tree.out;
    EXPECT_EQ("Probe/", lines[0]);
    EXPECT_EQ("  Dev/", lines[1]);
    EXPECT_EQ("    Temp = Probe.Dev.Temp", lines[2]);
    EXPECT_FALSE(Has(tree.out, "Low")) << "a tag's child tags are its properties: " << tree.out;
    EXPECT_TRUE(Has(tree.out, "    Темп = Probe.Dev.Темп\n")) << tree.out;

    ToolRun leaves = RunTool(With(L"browse", L"Probe.Dev --leaves --depth 1"));
    EXPECT_EQ(0u, leaves.exitCode) << leaves.err;
    EXPECT_EQ((std::vector<std::string>{"Probe.Dev.Temp", "Probe.Dev.Count", "Probe.Dev.Fixed",
                                        "Probe.Dev.Text", "Probe.Dev.Темп"}),
              Lines(leaves.out));

    ToolRun json = RunTool(With(L"browse", L"Probe --depth 2 --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_TRUE(Has(json.out,
                    "\"name\": \"Dev\",\n    \"item_id\": \"Probe.Dev\",\n    "
                    "\"kind\": \"branch\",\n    \"level\": 0"))
        << json.out;
    EXPECT_TRUE(Has(json.out, "\"item_id\": \"Probe.Dev.Fixed\",\n    \"kind\": \"leaf\""))
        << json.out;
    EXPECT_FALSE(Has(json.out, "Probe.Dev.Temp.Low")) << "two levels only";
}

TEST_F(OpcClientTool, BrowseGivesTheSameTreeThroughEitherInterface) {
    for (const wchar_t* args : {L"", L"Probe.Dev --leaves", L"Probe --depth 2 --json"}) {
        ToolRun da3 = RunTool(With(L"browse", args));
        ToolRun da2 = RunTool(With(L"browse", std::wstring(args) + L" --da2"));
        EXPECT_EQ(0u, da3.exitCode) << da3.err;
        EXPECT_EQ(0u, da2.exitCode) << da2.err;
        EXPECT_FALSE(da3.out.empty());
        EXPECT_EQ(da2.out, da3.out);
    }

    ToolRun props = RunTool(With(L"browse", L"Probe.Dev --properties"));
    EXPECT_EQ(0u, props.exitCode) << props.err;
    EXPECT_TRUE(Has(props.out, "Temp = Probe.Dev.Temp\n")) << props.out;
    EXPECT_TRUE(Has(props.out, "    2 Item Value: 21.5\n")) << props.out;
    EXPECT_TRUE(Has(props.out, "    5000 Low: -40\n")) << props.out;
    EXPECT_EQ(1u, RunTool(With(L"browse", L"Probe.Dev --properties --da2")).exitCode);
    EXPECT_EQ(1u, RunTool(With(L"browse", L"Probe.Nothing")).exitCode)
        << "IOPCBrowse knows an unknown branch";
}

TEST_F(OpcClientTool, PropsListsEveryPropertyWithItsValue) {
    ToolRun table = RunTool(With(L"props", L"Probe.Dev.Temp"));
    EXPECT_EQ(0u, table.exitCode) << table.err;
    const std::string value = Row(table.out, "   2");
    EXPECT_TRUE(Has(value, " Item Value ") && Has(value, " 21.5")) << table.out;
    EXPECT_FALSE(Has(value, "Probe.Dev.Temp")) << "read through the item itself: " << table.out;
    // The child tags from 5000, with the identifiers a client adds them by.
    const std::string low = Row(table.out, "5000");
    EXPECT_TRUE(Has(low, " Low ") && Has(low, " -40 ") && Has(low, " Probe.Dev.Temp.Low"))
        << table.out;
    EXPECT_TRUE(Has(Row(table.out, "5001"), " Probe.Dev.Temp.High")) << table.out;
    const std::string euType = Row(table.out, "   7");
    EXPECT_TRUE(Has(euType, " EU Type ") && Has(euType, " 0 (none)")) << table.out;
    EXPECT_EQ("", Row(table.out, "   8")) << "no range, no EU info: " << table.out;
    EXPECT_TRUE(Has(Row(table.out, "   5"), " VT_I4 ")) << table.out;

    ToolRun json = RunTool(With(L"props", L"Probe.Dev.Fixed --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_TRUE(Has(json.out,
                    "\"id\": 2,\n    \"description\": \"Item Value\",\n    "
                    "\"type\": \"VT_I4\",\n    \"value\": 42,"))
        << json.out;
    EXPECT_TRUE(Has(json.out,
                    "\"description\": \"Item Access Rights\",\n    \"type\": "
                    "\"VT_I4\",\n    \"value\": 1,"))
        << "read-only" << json.out;
    EXPECT_TRUE(Has(json.out, "\"error\": \"0x00000000\",\n    \"error_text\": \"\"")) << json.out;

    ToolRun unknown = RunTool(With(L"props", L"Probe.Dev.Nothing"));
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_EQ(0u, unknown.err.rfind("opcclient: unknown item Probe.Dev.Nothing: 0xC0040007", 0))
        << unknown.err;
}

// The probe's tree with a range and units for Temp.
class OpcClientToolUnits : public RegisteredServerTest {
  protected:
    static void SetUpTestSuite() {
        Install(std::string(ServerInstallation::kProbeTree) +
                "eu=Dev.Temp:-40:125.5:\xB0"
                "C\n");
    }
};

TEST_F(OpcClientToolUnits, PropsShowsTheEngineeringUnitsReadably) {
    ToolRun table = RunTool(With(L"props", L"Probe.Dev.Temp"));
    EXPECT_EQ(0u, table.exitCode) << table.err;
    EXPECT_TRUE(Has(Row(table.out, "   7"), " 1 (analog)")) << table.out;
    const std::string info = Row(table.out, "   8");
    EXPECT_TRUE(Has(info, " EU Info ") && Has(info, " VT_ARRAY | VT_R8 ") &&
                Has(info, " [-40, 125.5]"))
        << table.out;
    EXPECT_TRUE(Has(Row(table.out, " 100"), " \"°C\"")) << table.out;
    EXPECT_TRUE(Has(Row(table.out, " 101"), " Item Description ")) << table.out;

    ToolRun json = RunTool(With(L"props", L"Probe.Dev.Temp --json"));
    EXPECT_EQ(0u, json.exitCode) << json.err;
    EXPECT_TRUE(Has(json.out,
                    "\"id\": 7,\n    \"description\": \"EU Type\",\n    "
                    "\"type\": \"VT_I4\",\n    \"value\": 1,"))
        << json.out;
}

TEST_F(OpcClientTool, BenchOfAnUnknownItemFails) {
    ToolRun unknown = RunTool(With(L"bench", L"Probe.Dev.Nothing --subscribe --seconds 1"));
    EXPECT_EQ(1u, unknown.exitCode);
    EXPECT_EQ(0u, unknown.err.rfind("opcclient: unknown item Probe.Dev.Nothing", 0)) << unknown.err;
}

}  // namespace
