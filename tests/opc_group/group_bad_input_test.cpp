// Calls that no proxy would let through: null out-pointers, empty and impossible counts, made
// on a group in this process. Each gets its error and changes nothing.
#include <windows.h>
#include <gtest/gtest.h>

#include "opc_group.h"

namespace {

ComPtr<COPCGroup> NewGroup() {
    ComPtr<COPCGroup> group;
    EXPECT_EQ(S_OK, COPCGroup::Create(std::make_shared<ServerLink>(nullptr), &group));
    return group;
}

TEST(GroupBadInput, Da3CallsWithNullPointersAndEmptyCalls) {
    ComPtr<COPCGroup> group = NewGroup();
    OPCHANDLE handle = 1;
    DWORD age = 0, cancel = 7;
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_POINTER, group->ReadMaxAge(1, &handle, &age, nullptr, &qualities, &times, &errors));
    EXPECT_EQ(E_POINTER,
              group->ReadMaxAge(1, &handle, &age, &values, &qualities, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG,
              group->ReadMaxAge(0, &handle, &age, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG,
              group->ReadMaxAge(1, nullptr, &age, &values, &qualities, &times, &errors));
    EXPECT_EQ(E_INVALIDARG,
              group->ReadMaxAge(1, &handle, nullptr, &values, &qualities, &times, &errors));
    EXPECT_EQ(nullptr, values);
    EXPECT_EQ(nullptr, qualities);
    EXPECT_EQ(nullptr, times);
    EXPECT_EQ(nullptr, errors);
    OPCITEMVQT vqt{};
    EXPECT_EQ(E_POINTER, group->WriteVQT(1, &handle, &vqt, nullptr));
    EXPECT_EQ(E_INVALIDARG, group->WriteVQT(0, &handle, &vqt, &errors));
    EXPECT_EQ(E_INVALIDARG, group->WriteVQT(1, &handle, nullptr, &errors));
    EXPECT_EQ(E_OUTOFMEMORY, group->ReadMaxAge(COPCGroup::kMaxItemsPerCall + 1, &handle, &age,
                                               &values, &qualities, &times, &errors));

    EXPECT_EQ(E_POINTER, group->RefreshMaxAge(0, 1, nullptr));
    EXPECT_EQ(E_POINTER, group->ReadMaxAge(1, &handle, &age, 1, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, group->ReadMaxAge(1, &handle, nullptr, 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, group->ReadMaxAge(0, &handle, &age, 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, group->WriteVQT(1, &handle, nullptr, 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, group->WriteVQT(0, &handle, &vqt, 1, &cancel, &errors));
    EXPECT_EQ(nullptr, errors);
    // An empty group: nothing to refresh.
    EXPECT_EQ(E_FAIL, group->RefreshMaxAge(0, 1, &cancel));
    EXPECT_EQ(0u, cancel);
}

TEST(GroupBadInput, NullOutPointersAndEmptyCalls) {
    ComPtr<COPCGroup> group = NewGroup();
    OPCITEMDEF def{};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    OPCHANDLE handle = 1;
    EXPECT_EQ(E_POINTER, group->AddItems(1, &def, nullptr, &errors));
    EXPECT_EQ(E_POINTER, group->AddItems(1, &def, &results, nullptr));
    EXPECT_EQ(E_INVALIDARG, group->AddItems(0, &def, &results, &errors));
    EXPECT_EQ(E_INVALIDARG, group->AddItems(1, nullptr, &results, &errors));
    EXPECT_EQ(E_POINTER, group->RemoveItems(1, &handle, nullptr));
    EXPECT_EQ(E_INVALIDARG, group->RemoveItems(0, &handle, &errors));
    EXPECT_EQ(E_INVALIDARG, group->SetClientHandles(1, &handle, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, group->Write(1, &handle, nullptr, &errors));
    OPCITEMSTATE* states = nullptr;
    EXPECT_EQ(E_POINTER, group->Read(OPC_DS_CACHE, 1, &handle, nullptr, &errors));
    EXPECT_EQ(E_INVALIDARG, group->Read(OPC_DS_CACHE, 0, &handle, &states, &errors));
    EXPECT_EQ(E_POINTER, group->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr));
    DWORD rate;
    BOOL active;
    LPWSTR name;
    LONG bias;
    FLOAT deadband;
    DWORD lcid;
    OPCHANDLE client, server;
    EXPECT_EQ(E_POINTER,
              group->GetState(&rate, &active, nullptr, &bias, &deadband, &lcid, &client, &server));
    EXPECT_EQ(E_POINTER,
              group->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, nullptr));
    EXPECT_EQ(nullptr, results);
    EXPECT_EQ(nullptr, errors);
}

// Counts no array could hold are refused before any element is read: the arrays passed here
// hold one element only.
TEST(GroupBadInput, ImpossibleCountsAreRefusedAsOutOfMemory) {
    ComPtr<COPCGroup> group = NewGroup();
    OPCITEMDEF def{};
    OPCHANDLE handle = 1;
    VARIANT value;
    VariantInit(&value);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMSTATE* states = nullptr;
    for (DWORD count : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(E_OUTOFMEMORY, group->AddItems(count, &def, &results, &errors));
        EXPECT_EQ(E_OUTOFMEMORY, group->ValidateItems(count, &def, FALSE, &results, &errors));
        EXPECT_EQ(E_OUTOFMEMORY, group->RemoveItems(count, &handle, &errors));
        EXPECT_EQ(E_OUTOFMEMORY, group->Read(OPC_DS_DEVICE, count, &handle, &states, &errors));
        EXPECT_EQ(E_OUTOFMEMORY, group->Write(count, &handle, &value, &errors));
        DWORD cancel = 0;
        EXPECT_EQ(E_OUTOFMEMORY, group->Read(count, &handle, 1, &cancel, &errors));
        EXPECT_EQ(E_OUTOFMEMORY, group->Write(count, &handle, &value, 1, &cancel, &errors));
    }
    EXPECT_EQ(nullptr, results);
    EXPECT_EQ(nullptr, states);
}

// The asynchronous calls start nothing on bad input: no transaction, no callback.
TEST(GroupBadInput, AsynchronousCallsCheckTheirArgumentsBeforeStarting) {
    ComPtr<COPCGroup> group = NewGroup();
    OPCHANDLE handle = 1;
    VARIANT value;
    VariantInit(&value);
    DWORD cancel = 7;
    HRESULT* errors = nullptr;
    EXPECT_EQ(E_POINTER, group->Read(1, &handle, 1, nullptr, &errors));
    EXPECT_EQ(E_POINTER, group->Read(1, &handle, 1, &cancel, nullptr));
    EXPECT_EQ(0u, cancel);
    EXPECT_EQ(E_INVALIDARG, group->Read(0, &handle, 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, group->Read(1, nullptr, 1, &cancel, &errors));
    EXPECT_EQ(E_INVALIDARG, group->Write(1, &handle, nullptr, 1, &cancel, &errors));
    EXPECT_EQ(E_POINTER, group->Write(1, &handle, &value, 1, nullptr, &errors));
    EXPECT_EQ(E_POINTER, group->Refresh2(OPC_DS_CACHE, 1, nullptr));
    EXPECT_EQ(nullptr, errors);
    // Nothing to read or refresh in an empty group: every handle is unknown.
    EXPECT_EQ(E_FAIL, group->Read(1, &handle, 1, &cancel, &errors));
    ASSERT_NE(nullptr, errors);
    EXPECT_EQ(E_FAIL, errors[0]);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_FAIL, group->Refresh2(OPC_DS_DEVICE, 1, &cancel));
    EXPECT_EQ(E_FAIL, group->Cancel2(0));
    EXPECT_EQ(E_FAIL, group->Cancel2(cancel));
    EXPECT_EQ(E_POINTER, group->GetEnable(nullptr));
    EXPECT_EQ(E_POINTER, group->FindConnectionPoint(IID_IOPCDataCallback, nullptr));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, group->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    DWORD cookie = 0;
    EXPECT_EQ(E_POINTER, point->Advise(nullptr, &cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(12345));
}

TEST(GroupBadInput, AGroupWithoutItsServerRefusesWhatNeedsIt) {
    ComPtr<COPCGroup> group = NewGroup();
    EXPECT_EQ(E_FAIL, group->SetName(L"X"));
    EXPECT_EQ(E_FAIL, group->MoveToPublic());
    IUnknown* unk = nullptr;
    EXPECT_EQ(E_FAIL, group->CloneGroup(L"Y", IID_IUnknown, &unk));
    EXPECT_EQ(nullptr, unk);
}

}  // namespace
