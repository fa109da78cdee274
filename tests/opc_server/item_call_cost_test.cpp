// What the item calls cost the server itself, with no wire in between: a group in this process
// over the simulator, the calls the paired benchmark makes (opcclient bench --versus), timed
// per item. Prints figures; asserts only that the calls did their work.
#include <windows.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <vector>

#include "driver_list.h"
#include "elapsed.h"
#include "opc_group.h"
#include "opc_server.h"
#include "probe_driver_files.h"
#include "ready_flag.h"
#include "scan_thread.h"

namespace {

class ItemCallCost : public testing::Test {
  protected:
    void SetUp() override {
        WriteTextFile(dir_.File("Drivers.cfg"), TestProgramDirectory() + "\\simulator.dll|Sim\n");
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        g_drivers.Snapshot()->drivers.at(0)->DefaultSettings();
        SetApplicationReady();
        ASSERT_EQ(S_OK, OPCServer::CreateInstance(nullptr, IID_IOPCServer, server_.PutVoid()));
        DWORD revised = 0;
        ASSERT_EQ(S_OK, server_->AddGroup(L"bench", FALSE, 1000, 1, nullptr, nullptr, 0, &group_,
                                          &revised, IID_IOPCItemMgt,
                                          reinterpret_cast<IUnknown**>(items_.Put())));
        ASSERT_EQ(S_OK, items_.As(io_));
    }
    void TearDown() override {
        io_.Reset();
        items_.Reset();
        if (server_) server_->RemoveGroup(group_, TRUE);
        server_.Reset();
        Scanner().StopNow();
        g_drivers.Unload();
    }

    ScratchDirectory dir_;
    ComPtr<IOPCServer> server_;
    OPCHANDLE group_ = 0;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> io_;
};

// As the benchmark's runs: a thousand items of one writable tag added, written and removed,
// again and again (the records are reused from the second round on).
TEST_F(ItemCallCost, AddWriteAndRemoveAThousandItems) {
    constexpr DWORD kItems = 1000;
    constexpr int kRounds = 200;
    std::vector<OPCITEMDEF> defs(kItems);
    for (OPCITEMDEF& d : defs) {
        d = OPCITEMDEF{};
        d.szItemID = const_cast<wchar_t*>(L"Sim.Boiler.Control.Setpoint");
        d.bActive = TRUE;
    }
    std::vector<OPCHANDLE> handles(kItems);
    std::vector<VARIANT> values(kItems);
    double add = 0, write = 0, remove = 0;
    for (int r = 0; r < kRounds; ++r) {
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        add += SecondsOf(
            [&] { ASSERT_EQ(S_OK, items_->AddItems(kItems, defs.data(), &results, &errors)); });
        for (DWORD i = 0; i < kItems; ++i) handles[i] = results[i].hServer;
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        for (DWORD i = 0; i < kItems; ++i) {
            V_VT(&values[i]) = VT_R8;
            V_R8(&values[i]) = 40.0 + (r + i) % 10;
        }
        errors = nullptr;
        write += SecondsOf(
            [&] { EXPECT_EQ(S_OK, io_->Write(kItems, handles.data(), values.data(), &errors)); });
        CoTaskMemFree(errors);
        errors = nullptr;
        remove += SecondsOf(
            [&] { EXPECT_EQ(S_OK, items_->RemoveItems(kItems, handles.data(), &errors)); });
        CoTaskMemFree(errors);
    }
    // A call that reaches a driver waits for one of its threads (a hung driver holds up no
    // client): the fixed part of such a call.
    std::shared_ptr<CDriver> driver = g_drivers.Snapshot()->drivers.at(0);
    constexpr int kTrips = 2000;
    const double trips = SecondsOf([&] {
        for (int k = 0; k < kTrips; ++k)
            driver->Begin<bool>([](CDriver&) { return true; }).Wait(10000);
    });
    driver.reset();
    const double per = 1e6 / (static_cast<double>(kItems) * kRounds);
    printf(
        "In process, %lu items per call: AddItems %.3f us, Write %.3f us, RemoveItems %.3f us "
        "per item; an empty task on a driver thread and back %.1f us\n",
        static_cast<unsigned long>(kItems), add * per, write * per, remove * per,
        trips * 1e6 / kTrips);
}

}  // namespace
