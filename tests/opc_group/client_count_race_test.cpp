// Client counts move while other clients write and the drivers update their values: no value
// may be undone by a count update, and the counts must end right. Each race runs between two
// real client processes against one server with two probe drivers, one that keeps the count
// itself (DLLChangeClientCount) and one written before that entry point existed.
#include <windows.h>
#include <gtest/gtest.h>
#include <cwchar>
#include <string>
#include <thread>

#include "child_process.h"
#include "opc_client_fixture.h"

namespace {

// Every record the driver hands out is stale for 2 ms before the call returns: long enough
// for a write or an update to land between a read and the write-back of the same record.
std::string Tree(const char* root) {
    return std::string("root=") + root +
           "\n"
           "info_delay_ms=2\n"
           "branch=Dev\n"
           "tag=Dev.Setpoint:I4:0\n"
           "tag=Dev.Counter:I4:0\n";
}

class ClientCountRace : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        install_ = new ServerInstallation(Tree("Probe"));
        legacy_ = install_->AddDriver("probe_driver_legacy.dll", "Legacy", Tree("Legacy"));
        registered_ = install_->Run("/RegServer");
    }
    static void TearDownTestSuite() {
        for (DWORD id : ServerProcesses()) install_->started_.insert(id);
        delete install_;
        install_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(registered_);
        // One client holds the server for the whole test, so both racers meet in one process.
        server_ = install_->ConnectAs<IOPCServer>();
        ASSERT_TRUE(server_);
    }

    // Runs `racer` while a second process adds and removes `items` items of `churned` in one
    // call each, over and over; returns the racer's run.
    ChildRun RaceAgainstChurn(const std::wstring& racer, const std::wstring& churned, DWORD items) {
        const std::wstring stopName =
            L"ClientCountRaceStop" + std::to_wstring(GetCurrentProcessId());
        HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
        ChildRun churn;
        std::thread churner([&] {
            churn = RunChild(L"count_race_client.exe",
                             L"churn " + churned + L" " + std::to_wstring(items) + L" " + stopName,
                             300000);
        });
        Sleep(500);  // the churn is under way before the first write
        ChildRun run = RunChild(L"count_race_client.exe", racer, 300000);
        SetEvent(stop);
        churner.join();
        CloseHandle(stop);
        EXPECT_EQ(0u, churn.exitCode) << churn.out;
        return run;
    }

    // The race of `mode` on tag Dev.NAME of each driver, which must end with `clean` printed;
    // once both clients have gone, every count they raised was given back.
    void RaceOnBothDrivers(const wchar_t* mode, const wchar_t* name, const wchar_t* arguments,
                           const char* clean) {
        for (const wchar_t* driver : {L"Probe", L"Legacy"}) {
            const std::wstring tag = std::wstring(driver) + L".Dev." + name;
            ChildRun run = RaceAgainstChurn(mode + (L" " + tag) + arguments, tag, 20);
            EXPECT_EQ(0u, run.exitCode) << "driver " << driver << ": " << run.out;
            EXPECT_NE(std::string::npos, run.out.find(clean)) << run.out;
        }
        const std::string tagName(name, name + wcslen(name));
        EXPECT_EQ(0ul, LastClientCount(ReadProbeLog(install_->probe_), tagName));
        EXPECT_EQ(0ul, LastClientCount(ReadProbeLog(legacy_), tagName));
    }

    inline static ServerInstallation* install_ = nullptr;
    inline static std::string legacy_;
    inline static bool registered_ = false;
    ComPtr<IOPCServer> server_;
};

TEST_F(ClientCountRace, NoWriteIsUndoneByAnotherClientsItems) {
    RaceOnBothDrivers(L"write", L"Setpoint", L" 300 1000", "lost writes: 0 of 300");
}

TEST_F(ClientCountRace, NoDriverUpdateIsUndoneByAnotherClientsItems) {
    // The probe's DLLUpdate counts Counter up; a count update that wrote back a record read
    // before an update would undo that update.
    RaceOnBothDrivers(L"climb", L"Counter", L" 300", "lost updates: 0 of 300");
}

}  // namespace
