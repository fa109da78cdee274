// The subscription benchmark with a share of changing values, run through the real client
// tool on the probe's bench branch. Its figures are printed, not judged (these machines are
// shared); what is checked is that it measured the branch's tags, that the share reached the
// driver, and that the share is back at 0 afterwards, whatever ended the run.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

#include "bench_branch.h"
#include "child_process.h"
#include "opc_client_fixture.h"
#include "tool_error.h"

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A branch of 250 tags at the top and one of 20 below another branch; an ordinary branch
// without T tags.
class ChangeBench : public RegisteredServerTest {
  protected:
    static void SetUpTestSuite() {
        Install(
            "root=Probe\nbench=Bench:250\nbranch=Plant\nbench=Plant.Small:20\n"
            "branch=Plain\ntag=Plain.Level:R8:1\nlog=off\n");
    }

    static ChildRun Tool(const std::wstring& arguments) {
        return RunChild(L"opcclient.exe", L"bench OPCServerVEXA.OPCServer " + arguments, 120000);
    }
    // The device's value of an item, as the JSON of a read shows it ("" when none).
    static std::string DeviceValue(const std::wstring& item) {
        ChildRun read = RunChild(L"opcclient.exe",
                                 L"read OPCServerVEXA.OPCServer " + item + L" --device --json");
        const size_t at = read.out.find("\"value\": ");
        return at == std::string::npos ? ""
                                       : read.out.substr(at + 9, read.out.find(',', at) - at - 9);
    }
};

TEST_F(ChangeBench, TwoGroupsOfTheBranchsTagsWithOnePercentChanging) {
    ChildRun run = Tool(L"Probe.Bench --subscribe --change 1% --groups 2 --items 200 --seconds 2");
    EXPECT_EQ(0u, run.exitCode) << run.err;
    // 200 of the branch's 250 tags, not ITEM 200 times.
    EXPECT_TRUE(Has(run.out, "2 groups x 200 leaves of Probe.Bench at 250 ms on ")) << run.out;
    for (const char* line :
         {"\n  change share          1 % per cycle\n", "\n  values per callback   ",
          "\n  cycles of the groups  ", "\n  server per cycle      "})
        EXPECT_TRUE(Has(run.out, line)) << line << " in\n" << run.out;
    EXPECT_EQ("0", DeviceValue(L"Probe.Bench.ChangePercent")) << "set back after the run";
    printf("%s", run.out.c_str());
}

TEST_F(ChangeBench, EveryTagChangesAtAHundredPercentAndTheJsonSaysSo) {
    ChildRun run =
        Tool(L"Probe.Plant.Small --subscribe --change 100 --groups 2 --seconds 2 --json");
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Has(run.out, "\"items_per_group\": 20,")) << "all the branch has: " << run.out;
    for (const char* key :
         {"\"change_percent\": 100,", "\"values_per_callback\": ", "\"callbacks\": ",
          "\"expected_cycles\": ", "\"server_cpu_per_cycle\": {",
          "\"ms_per_callback\": ", "\"ms_per_expected_cycle\": ", "\"ms_per_second\": "})
        EXPECT_TRUE(Has(run.out, key)) << key << " in\n" << run.out;
    EXPECT_FALSE(Has(run.out, "\"values_per_callback\": -1")) << run.out;
    // The driver had the share: some seconds of updates at 100 % moved every tag.
    for (const wchar_t* tag : {L"Probe.Plant.Small.T00000", L"Probe.Plant.Small.T00019"}) {
        const std::string value = DeviceValue(tag);
        EXPECT_NE("", value);
        EXPECT_NE("0", value) << std::string(tag, tag + wcslen(tag));
    }
    EXPECT_EQ("0", DeviceValue(L"Probe.Plant.Small.ChangePercent"));
}

TEST_F(ChangeBench, ABranchWithoutTagsOrAShareOutOfRangeFails) {
    ChildRun plain = Tool(L"Probe.Plain --subscribe --change 5 --seconds 1");
    EXPECT_EQ(1u, plain.exitCode);
    EXPECT_EQ(0u, plain.err.rfind("opcclient: no leaves named T... in Probe.Plain", 0))
        << plain.err;
    for (const wchar_t* bad :
         {L"Probe.Bench --subscribe --change 101", L"Probe.Bench --subscribe --change 1.5.0",
          L"Probe.Bench --subscribe --change -1", L"Probe.Bench --change 5"})
        EXPECT_EQ(2u, Tool(bad).exitCode) << std::string(bad, bad + wcslen(bad));
}

// What ends a run early, in this process: the share the run wrote is back at 0 all the same.
TEST_F(ChangeBench, TheShareIsSetBackWhenARunFails) {
    Connection connection(L"OPCServerVEXA.OPCServer");
    try {
        ChangeShare share(connection, L"Probe.Bench.ChangePercent", 50);
        EXPECT_EQ("50", DeviceValue(L"Probe.Bench.ChangePercent"));
        ThrowFailure(L"the run failed");
    } catch (const ToolError& e) {
        EXPECT_EQ(L"the run failed", e.Message());
    }
    EXPECT_EQ("0", DeviceValue(L"Probe.Bench.ChangePercent"));
    EXPECT_THROW(ChangeShare(connection, L"Probe.Plain.ChangePercent", 5), ToolError)
        << "a branch without the setting";
}

}  // namespace
