// The null server through real COM from this process, as the paired benchmark's client uses
// it: its answers must be a real server's in shape, codes and memory, or the comparison
// measures something else.
#include <windows.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "co_task_mem.h"
#include "com_ptr.h"
#include "opc.h"
#include "null_server_process.h"
#include "opc_client_fixture.h"

namespace {

template <class T>
using CoTaskPtr = std::unique_ptr<T, CoTaskMemDeleter>;

class NullServer : public testing::Test {
  protected:
    static void TearDownTestSuite() { StopNullServers(); }
    void SetUp() override {
        server_ = ConnectNullServer();
        ASSERT_TRUE(server_) << "OPCNullServer.Bench.1 is not registered";
        group_ = AddGroupTo(server_.Get(), L"bench", 0);
        ASSERT_EQ(OPC_S_UNSUPPORTEDRATE, group_.hr);
        ASSERT_TRUE(group_.state.As(items_) == S_OK && group_.state.As(io_) == S_OK);
    }
    void TearDown() override {
        items_.Reset();
        io_.Reset();
        group_.state.Reset();
        if (server_) server_->RemoveGroup(group_.handle, TRUE);
    }

    ComPtr<IOPCServer> server_;
    AddedGroup group_;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> io_;
};

TEST_F(NullServer, AnswersEveryItemWithItsOwnHandleAndCode) {
    EXPECT_EQ(10u, group_.revisedRate);
    EXPECT_EQ(OPC_E_DUPLICATENAME, AddGroupTo(server_.Get(), L"bench").hr);

    const Added added = AddItems(items_.Get(), {L"Any.Tag", L"", L"Other"}, 5, VT_BSTR);
    ASSERT_EQ(S_FALSE, added.hr);
    EXPECT_EQ(S_OK, added.errors[0]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, added.errors[1]);
    EXPECT_EQ(VT_R8, added.results[0].vtCanonicalDataType);
    EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, added.results[0].dwAccessRights);
    EXPECT_NE(added[0], added[2]);

    // A handle never given, and the one of the refused definition, are unknown per item.
    std::vector<OPCHANDLE> handles{added[0], 999, added[2]};
    OPCITEMSTATE* rawStates = nullptr;
    HRESULT* rawErrors = nullptr;
    ASSERT_EQ(S_FALSE, io_->Read(OPC_DS_DEVICE, 3, handles.data(), &rawStates, &rawErrors));
    CoTaskPtr<OPCITEMSTATE> states(rawStates);
    CoTaskPtr<HRESULT> errors(rawErrors);
    EXPECT_EQ(S_OK, errors.get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.get()[1]);
    EXPECT_EQ(5u, states.get()[0].hClient);
    EXPECT_EQ(7u, states.get()[2].hClient);
    EXPECT_EQ(OPC_QUALITY_GOOD, states.get()[0].wQuality);
    EXPECT_EQ(VT_BSTR, V_VT(&states.get()[0].vDataValue)) << "in the requested type";
    EXPECT_NE(0u, states.get()[0].ftTimeStamp.dwHighDateTime);
    for (DWORD i = 0; i < 3; ++i) VariantClear(&states.get()[i].vDataValue);

    VARIANT values[3];
    for (VARIANT& v : values) {
        V_VT(&v) = VT_R8;
        V_R8(&v) = 1.5;
    }
    ASSERT_EQ(S_FALSE, io_->Write(3, handles.data(), values, &rawErrors));
    errors.reset(rawErrors);
    EXPECT_EQ(S_OK, errors.get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.get()[1]);

    ASSERT_EQ(S_FALSE, items_->RemoveItems(3, handles.data(), &rawErrors));
    errors.reset(rawErrors);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.get()[1]);
    ASSERT_EQ(S_FALSE, items_->RemoveItems(1, handles.data(), &rawErrors));
    errors.reset(rawErrors);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.get()[0]) << "removed already";

    LPWSTR text = nullptr;
    EXPECT_EQ(S_OK, server_->GetErrorString(OPC_E_INVALIDHANDLE, 0, &text));
    EXPECT_TRUE(text && *text);
    CoTaskMemFree(text);
}

TEST_F(NullServer, RefusesBadCallsAsAWholeWithNothingHandedOut) {
    OPCHANDLE handle = 1;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_INVALIDARG, io_->Read(OPC_DS_CACHE, 0, &handle, &states, &errors));
    EXPECT_EQ(E_INVALIDARG, io_->Read(static_cast<OPCDATASOURCE>(7), 1, &handle, &states, &errors));
    EXPECT_EQ(nullptr, states);
    EXPECT_EQ(nullptr, errors);
    EXPECT_EQ(E_INVALIDARG, items_->RemoveItems(0, &handle, &errors));
    EXPECT_EQ(nullptr, errors);
    VARTYPE unconvertible = VT_UNKNOWN;
    const Added added = AddItems(items_.Get(), {L"A"});
    handle = added[0];
    ASSERT_EQ(S_FALSE, items_->SetDatatypes(1, &handle, &unconvertible, &errors));
    CoTaskPtr<HRESULT> held(errors);
    EXPECT_EQ(OPC_E_BADTYPE, errors[0]);

    FLOAT deadband = 150;
    DWORD revised = 0;
    EXPECT_EQ(E_INVALIDARG, group_.state->SetState(nullptr, &revised, nullptr, nullptr, &deadband,
                                                   nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, server_->RemoveGroup(group_.handle + 1000, TRUE));
    EXPECT_EQ(E_INVALIDARG, group_.state->SetName(L""));
    EXPECT_EQ(S_OK, group_.state->SetName(L"renamed"));
    EXPECT_EQ(L"renamed", StateOf(group_.state.Get()).name);
}

}  // namespace
