// The browsing and property benchmarks, run through the real client tool on a tree built for
// them: branches of 1,000 and 10,000 tags, one of which has 100 child tags. It prints the figures
// (they are not judged here: these machines are shared) and checks that every name came back,
// through the DA 2.0 listing and through IOPCBrowse, with and without the properties.
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
        std::string tree = "root=Probe\nbranch=Big\nbranch=Small\nlog=off\n";
        for (int i = 0; i < 10000; ++i) tree += "tag=Big.T" + std::to_string(i) + ":R8:1.5\n";
        for (int i = 0; i < 1000; ++i) tree += "tag=Small.T" + std::to_string(i) + ":R8:1.5\n";
        for (int i = 0; i < 100; ++i) tree += "subtag=Big.T0.S" + std::to_string(i) + ":I4:7\n";
        install_ = new ServerInstallation(tree);
        registered_ = install_->Run("/RegServer");
    }
};

TEST_F(AddressSpaceBench, ABranchOfTenThousandTagsAndAnItemWithAHundredChildTags) {
    // A branch a tenth the size, to show that a listing costs in proportion to its names.
    ChildRun small = RunChild(
        L"opcclient.exe", L"bench OPCServerVEXA.OPCServer Probe.Small --browse --runs 5", 300000);
    EXPECT_EQ(0u, small.exitCode) << small.err;
    EXPECT_NE(std::string::npos, small.out.find("  1000 names in ")) << small.out;
    ChildRun browse =
        RunChild(L"opcclient.exe",
                 L"bench OPCServerVEXA.OPCServer Probe.Big --browse --da3 --runs 5", 300000);
    EXPECT_EQ(0u, browse.exitCode) << browse.err;
    EXPECT_NE(std::string::npos, browse.out.find("  10000 names in ")) << browse.out;
    EXPECT_NE(std::string::npos, browse.out.find("  10000 elements in ")) << browse.out;
    EXPECT_NE(std::string::npos, browse.out.find("  10000 elements (")) << browse.out;
    ChildRun props =
        RunChild(L"opcclient.exe",
                 L"bench OPCServerVEXA.OPCServer Probe.Big.T0 --properties --runs 5", 300000);
    EXPECT_EQ(0u, props.exitCode) << props.err;
    EXPECT_NE(std::string::npos, props.out.find("  108 properties in ")) << props.out;
    printf("%s%s%s", small.out.c_str(), browse.out.c_str(), props.out.c_str());
}

}  // namespace
