// IOPCBrowse on a server object in this process, over the probe loaded into the process's
// driver lists: the calls no proxy lets through (null pointers), and continuation points
// that outlive a reload of the drivers.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>

#include "browse_results.h"
#include "driver_list.h"
#include "opc_server.h"
#include "probe_driver_files.h"
#include "ready_flag.h"
#include "scan_thread.h"

namespace {

class InProcessBrowse : public testing::Test {
  protected:
    void SetUp() override {
        const std::string probe =
            InstallProbe(dir_.File("probe.dll"), "root=Probe\nbench=Bench:50\n");
        WriteTextFile(dir_.File("Drivers.cfg"), probe + "|Probe\n");
        g_drivers.LoadFrom(dir_.File("Drivers.cfg"));
        SetApplicationReady();
        ASSERT_EQ(S_OK, OPCServer::CreateInstance(nullptr, IID_IOPCBrowse, browse_.PutVoid()));
    }
    void TearDown() override {
        browse_.Reset();
        Scanner().StopNow();
        g_drivers.Unload();
    }

    ScratchDirectory dir_;
    ComPtr<IOPCBrowse> browse_;
};

TEST_F(InProcessBrowse, NullPointersAreRefusedAndNullStringsAreEmpty) {
    LPWSTR point = nullptr;
    BOOL more = TRUE;
    DWORD count = 5;
    OPCBROWSEELEMENT* elements = reinterpret_cast<OPCBROWSEELEMENT*>(1);
    wchar_t bench[] = L"Probe.Bench";
    EXPECT_EQ(E_POINTER, browse_->Browse(bench, nullptr, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr,
                                         FALSE, FALSE, 0, nullptr, &more, &count, &elements));
    EXPECT_EQ(E_POINTER, browse_->Browse(bench, &point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr,
                                         FALSE, FALSE, 0, nullptr, &more, &count, nullptr));
    EXPECT_EQ(E_POINTER, browse_->Browse(bench, &point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr,
                                         FALSE, FALSE, 0, nullptr, nullptr, &count, &elements));
    EXPECT_EQ(E_INVALIDARG,
              browse_->Browse(bench, &point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE,
                              FALSE, 3, nullptr, &more, &count, &elements))
        << "property ids counted but not given";
    EXPECT_EQ(nullptr, elements);
    EXPECT_EQ(0u, count);
    EXPECT_FALSE(more);

    // A null item is the root, null filters are none.
    HRESULT hr = browse_->Browse(nullptr, &point, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE,
                                 FALSE, 0, nullptr, &more, &count, &elements);
    BrowsePage root = TakeBrowsePage(hr, more, point, count, elements);
    EXPECT_EQ(S_OK, root.hr);
    EXPECT_EQ((std::vector<std::wstring>{L"Probe"}), root.Names());

    EXPECT_EQ(E_POINTER, browse_->GetProperties(1, nullptr, FALSE, 0, nullptr, nullptr));
    OPCITEMPROPERTIES* properties = reinterpret_cast<OPCITEMPROPERTIES*>(1);
    EXPECT_EQ(E_INVALIDARG, browse_->GetProperties(1, nullptr, FALSE, 0, nullptr, &properties));
    EXPECT_EQ(nullptr, properties);
    LPWSTR ids[] = {nullptr};
    ASSERT_EQ(S_FALSE, browse_->GetProperties(1, ids, FALSE, 0, nullptr, &properties));
    EXPECT_EQ(OPC_E_INVALIDITEMID, properties[0].hrErrorID);
    TakeItemProperties(properties[0]);
    CoTaskMemFree(properties);
}

TEST_F(InProcessBrowse, AReloadOfTheDriversEndsEveryContinuationPoint) {
    BrowseRequest r{L"Probe.Bench"};
    r.max = 20;
    BrowsePage first = BrowseOnce(browse_.Get(), r);
    ASSERT_EQ(S_OK, first.hr);
    ASSERT_FALSE(first.point.empty());
    BrowsePage second = BrowseOnce(browse_.Get(), r);
    ASSERT_FALSE(second.point.empty());

    // What the configurator does when its configuration changes.
    g_drivers.Unload();
    g_drivers.LoadFrom(dir_.File("Drivers.cfg"));

    r.point = first.point;
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, BrowseOnce(browse_.Get(), r).hr);
    r.point.clear();
    BrowsePage fresh = BrowseOnce(browse_.Get(), r);
    EXPECT_EQ(S_OK, fresh.hr);
    r.point = fresh.point;
    BrowsePage rest = BrowseOnce(browse_.Get(), r);
    EXPECT_EQ(S_OK, rest.hr) << "points made after the reload are good";
    EXPECT_EQ(20u, rest.elements.size());
}

}  // namespace
