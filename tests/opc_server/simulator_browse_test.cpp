// A client that browses the whole address space of a server with the simulator's demo plant,
// one level at a time as item pickers do, and then adds every leaf it found as an item: the
// browser must hand out only identifiers the server resolves.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "opc_client_fixture.h"

namespace {

class SimulatorBrowse : public OpcClientTest {
  protected:
    static void SetUpTestSuite() {
        install_ = new ServerInstallation();
        install_->AddShippedDriver(TestProgramDirectory() + "\\simulator.dll", "Simulator");
        registered_ = install_->Run("/RegServer");
        configured_ = registered_ && install_->SaveDefaultConfiguration(
                                         [](const std::string& name, CDriver& driver) {
                                             if (name == "Simulator") driver.DefaultSettings();
                                             return true;
                                         });
    }

    // Every leaf below the present position, by its item identifier.
    void CollectLeaves(IOPCBrowseServerAddressSpace* browse, std::vector<std::wstring>& out,
                       int depth = 0) {
        ASSERT_LT(depth, 32) << "the demo plant is not that deep";
        for (const std::wstring& leaf : Listed(browse, OPC_LEAF)) {
            LPWSTR id = nullptr;
            ASSERT_EQ(S_OK, browse->GetItemID(const_cast<wchar_t*>(leaf.c_str()), &id));
            out.push_back(id);
            CoTaskMemFree(id);
        }
        for (const std::wstring& branch : Listed(browse, OPC_BRANCH)) {
            ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str()));
            CollectLeaves(browse, out, depth + 1);
            ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
        }
    }
    static std::vector<std::wstring> Listed(IOPCBrowseServerAddressSpace* browse,
                                            OPCBROWSETYPE type) {
        ComPtr<IEnumString> e;
        EXPECT_TRUE(SUCCEEDED(browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Put())));
        return AllStrings(e.Get());
    }

    inline static bool configured_ = false;
};

TEST_F(SimulatorBrowse, EveryLeafOfTheWholeTreeBecomesAnItem) {
    ASSERT_TRUE(configured_);
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server_.As(browse));
    std::vector<std::wstring> leaves;
    CollectLeaves(browse.Get(), leaves);
    size_t simulated = 0;
    for (const std::wstring& id : leaves) simulated += id.rfind(L"Simulator.", 0) == 0;
    EXPECT_GE(simulated, 10u) << "the demo plant's tags";

    AddedGroup g = AddGroupTo(server_.Get(), L"everything", 1000, FALSE);
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, g.state.As(items));
    Added added = AddItems(items.Get(), leaves);
    EXPECT_EQ(S_OK, added.hr);
    for (size_t i = 0; i < added.errors.size(); ++i)
        EXPECT_EQ(S_OK, added.errors[i]) << std::string(leaves[i].begin(), leaves[i].end());
}

}  // namespace
