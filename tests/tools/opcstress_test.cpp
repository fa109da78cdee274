// The hostile client against an installed server for about a minute: random valid and invalid
// calls on every interface from three threads. The server answers throughout and afterwards,
// and once the client has let go of everything the server process ends by itself.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

#include "child_process.h"
#include "opc_client_fixture.h"

namespace {

class OpcStress : public RegisteredServerTest {};

TEST_F(OpcStress, AMinuteOfHostileCallsLeavesTheServerAnsweringAndItEndsByItself) {
    // A server that stops answering ends the run after two minutes, with the calls in flight.
    ChildRun run =
        RunChild(L"opcstress.exe",
                 L"OPCServerVEXA.OPCServer --calls 6000 --threads 3 --seed 2026 --give-up 120",
                 10 * 60 * 1000);
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("server answers afterwards: yes")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(", 0 failed in transport")) << run.out;
    EXPECT_EQ(std::string::npos, run.err.find("no call returned")) << run.err;
    // Started by COM for the client, the server ends a few seconds after its last client.
    EXPECT_NE(0u, install_->WaitForNoServer(60000)) << "the server outlived its only client";
    std::printf("%s", run.out.c_str());
}

// Connection points only, with what ends their containers: the server's shutdown point and the
// groups' data points found, advised with live and made-up cookies that threads undo for each
// other, their enumerators walked, while groups are removed with force, made public, and more
// server objects come and go: the pattern of calls after which the whole server once stopped
// answering.
TEST_F(OpcStress, ConnectionPointsUnderForcedRemovalKeepTheServerAnswering) {
    ChildRun run = RunChild(L"opcstress.exe",
                            L"OPCServerVEXA.OPCServer --calls 4000 --threads 3 --seed 7 "
                            L"--only 102,109,114,115,211,213,216,217 --give-up 120",
                            10 * 60 * 1000);
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(", 0 failed in transport")) << run.out;
    EXPECT_EQ(std::string::npos, run.err.find("stopped answering")) << run.err;
    EXPECT_NE(0u, install_->WaitForNoServer(60000)) << "the server outlived its only client";
    std::printf("%s", run.out.c_str());
}

// The OPC DA 3.0 calls alone, with groups removed and items taken away under them: browsing
// with real, spent and forged continuation points, IO by identifier, reads with ages at both
// ends, VQT writes, asynchronous ones cancelled, keep-alives and items' deadbands.
TEST_F(OpcStress, Da3CallsOfEveryShapeKeepTheServerAnswering) {
    ChildRun run = RunChild(L"opcstress.exe",
                            L"OPCServerVEXA.OPCServer --calls 1500 --threads 3 --seed 30 "
                            L"--only 102,103,116,200,203,218,219 --give-up 120",
                            10 * 60 * 1000);
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("server answers afterwards: yes")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(", 0 failed in transport")) << run.out;
    EXPECT_EQ(std::string::npos, run.err.find("stopped answering")) << run.err;
    EXPECT_NE(0u, install_->WaitForNoServer(60000)) << "the server outlived its only client";
    std::printf("%s", run.out.c_str());
}

}  // namespace
