// The browsing and property benchmarks, run through the real client tool on a tree built for
// them: a branch of 10,000 tags, one of which has 100 child tags. It prints the figures (they
// are not judged here: these machines are shared) and checks that every name came back.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

#include "child_process.h"
#include "opc_client_fixture.h"

namespace {

class AddressSpaceBench : public RegisteredServerTest {
  protected:
    static void SetUpTestSuite() {
        std::string tree = "root=Probe\nbranch=Big\nlog=off\n";
        for (int i = 0; i < 10000; ++i) tree += "tag=Big.T" + std::to_string(i) + ":R8:1.5\n";
        for (int i = 0; i < 100; ++i) tree += "subtag=Big.T0.S" + std::to_string(i) + ":I4:7\n";
        install_ = new ServerInstallation(tree);
        registered_ = install_->Run("/RegServer");
    }
};

TEST_F(AddressSpaceBench, ABranchOfTenThousandTagsAndAnItemWithAHundredChildTags) {
    ChildRun browse = RunChild(
        L"opcclient.exe", L"bench OPCServerVEXA.OPCServer Probe.Big --browse --runs 5", 300000);
    EXPECT_EQ(0u, browse.exitCode) << browse.err;
    EXPECT_NE(std::string::npos, browse.out.find("  10000 names in ")) << browse.out;
    ChildRun props =
        RunChild(L"opcclient.exe",
                 L"bench OPCServerVEXA.OPCServer Probe.Big.T0 --properties --runs 5", 300000);
    EXPECT_EQ(0u, props.exitCode) << props.err;
    EXPECT_NE(std::string::npos, props.out.find("  106 properties in ")) << props.out;
    printf("%s%s", browse.out.c_str(), props.out.c_str());
}

}  // namespace
