// A driver that stops answering in one of its entry points, seen by real clients: the client
// whose call reaches it gets its answer within the limit, with the documented codes and
// qualities; other clients of the same group and of another group are served meanwhile; the
// group's update cycle goes on for the other driver's items; a driver that answers again is
// used again. The driver "Evil" is a probe whose chosen entry point hangs while a file of
// the test exists.
#include <windows.h>
#include <gtest/gtest.h>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "enum_strings.h"
#include "opc_client_fixture.h"
#include "recording_sink.h"

namespace {

constexpr ULONGLONG kLimit = CDriver::kDriverLockLimitMs;
// What a call that never reaches the hung driver may take on a busy machine.
constexpr ULONGLONG kPrompt = 3000;
// The hung call's answer: the limit, and a margin for the machine.
constexpr ULONGLONG kAnswer = kLimit + 6000;
constexpr WORD kCommFailure = OPC_QUALITY_BAD | 0x18;

template <class Call>
ULONGLONG Timed(Call&& call) {
    const ULONGLONG start = GetTickCount64();
    call();
    return GetTickCount64() - start;
}

struct ReadResult {
    HRESULT hr = E_FAIL;
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
    std::vector<Variant> values;
};

ReadResult SyncRead(IOPCSyncIO* io, OPCDATASOURCE source, std::vector<OPCHANDLE> handles) {
    ReadResult r;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    r.hr = io->Read(source, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
    for (size_t i = 0; SUCCEEDED(r.hr) && i < handles.size(); ++i) {
        r.qualities.push_back(states[i].wQuality);
        r.errors.push_back(errors[i]);
        r.values.emplace_back(states[i].vDataValue);
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return r;
}

std::vector<HRESULT> SyncWrite(IOPCSyncIO* io, std::vector<OPCHANDLE> handles, double value,
                               HRESULT* hr) {
    std::vector<VARIANT> values(handles.size());
    for (VARIANT& v : values) {
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = value;
    }
    HRESULT* errors = nullptr;
    *hr = io->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), &errors);
    std::vector<HRESULT> result;
    if (errors) result.assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return result;
}

// A group of this test: its interfaces, its items, a sink advised on it.
struct TestGroup {
    AddedGroup added;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ComPtr<IOPCAsyncIO2> async;
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    Added handles;

    void Make(IOPCServer* server, const wchar_t* name, const std::vector<std::wstring>& ids) {
        added = AddGroupTo(server, name, 250, TRUE);
        ASSERT_EQ(S_OK, added.hr);
        ASSERT_EQ(S_OK, added.state.As(items));
        ASSERT_EQ(S_OK, added.state.As(io));
        ASSERT_EQ(S_OK, added.state.As(async));
        handles = AddItems(items.Get(), ids);
        ASSERT_EQ(S_OK, handles.hr);
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, added.state.As(container));
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie));
    }
    std::vector<OPCHANDLE> All() const {
        std::vector<OPCHANDLE> all;
        for (const OPCITEMRESULT& r : handles.results) all.push_back(r.hServer);
        return all;
    }
};

// The server with the probe and "Evil", whose `entry` hangs while the trigger file exists;
// a group "Mixed" with one item of each driver and a group "Other" with the probe's alone.
class HungDriver : public testing::Test {
  protected:
    void Start(const std::string& entry) {
        trigger_ = install_.dir_.File("hang.now");
        install_.AddDriver("probe_driver.dll", "Evil",
                           "root=Evil\nbranch=Dev\ntag=Dev.T:R4:1\ntag=Dev.U:R4:2\n"
                           "subtag=Dev.T.Units:BSTR:C\nhang=" +
                               entry + "\nhang_while=" + trigger_ + "\n");
        ASSERT_TRUE(install_.Run("/RegServer"));
        server_ = install_.ConnectAs<IOPCServer>();
        ASSERT_TRUE(server_);
        mixed_.Make(server_.Get(), L"Mixed", {L"Probe.Dev.Temp", L"Evil.Dev.T"});
        other_.Make(server_.Get(), L"Other", {L"Probe.Dev.Count"});
    }
    void TearDown() override {
        Answer();
        for (DWORD id : ServerProcesses()) install_.started_.insert(id);
    }
    void Hang() { WriteTextFile(trigger_, "hang"); }
    void Answer() { DeleteFileA(trigger_.c_str()); }

    // Runs `hung` on a thread of its own and, once it is under way, `meanwhile` on this one;
    // how long `hung` took.
    static ULONGLONG WhileHung(const std::function<void()>& hung,
                               const std::function<void()>& meanwhile) {
        ULONGLONG took = 0;
        std::thread caller([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            took = Timed(hung);
            CoUninitialize();
        });
        Sleep(1500);
        meanwhile();
        caller.join();
        return took;
    }

    // What every test checks while the hung call waits: the same group's cache and the other
    // group's device are served at once.
    void OthersAreServed() {
        ReadResult cache;
        EXPECT_LT(Timed([&] { cache = SyncRead(mixed_.io.Get(), OPC_DS_CACHE, mixed_.All()); }),
                  kPrompt)
            << "a cache read of the same group";
        EXPECT_EQ(S_OK, cache.hr);
        ReadResult device;
        EXPECT_LT(Timed([&] { device = SyncRead(other_.io.Get(), OPC_DS_DEVICE, other_.All()); }),
                  kPrompt)
            << "a device read of another group";
        ASSERT_EQ(S_OK, device.hr);
        EXPECT_EQ(OPC_QUALITY_GOOD, device.qualities[0]);
    }

    // Polls a device read of "Mixed" until the Evil item reads good again.
    bool EvilAnswersAgain(DWORD ms) {
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < ms) {
            ReadResult r = SyncRead(mixed_.io.Get(), OPC_DS_DEVICE, mixed_.All());
            if (r.hr == S_OK && r.qualities[1] == OPC_QUALITY_GOOD) return true;
            Sleep(500);
        }
        return false;
    }

    ServerInstallation install_;
    std::string trigger_;
    ComPtr<IOPCServer> server_;
    TestGroup mixed_, other_;
};

TEST_F(HungDriver, AnUpdateThatDoesNotReturnCostsADeviceReadTheLimitOnce) {
    ASSERT_NO_FATAL_FAILURE(Start("DLLUpdate"));
    Hang();
    const size_t changesBefore = mixed_.sink->Count(DataCall::kDataChange);
    ReadResult read;
    const ULONGLONG took = WhileHung(
        [&] { read = SyncRead(mixed_.io.Get(), OPC_DS_DEVICE, mixed_.All()); },
        [&] {
            OthersAreServed();
            Added more;
            EXPECT_LT(Timed([&] { more = AddItems(mixed_.items.Get(), {L"Probe.Dev.Fixed"}, 9); }),
                      kPrompt)
                << "items of the other driver are added to the same group";
            EXPECT_EQ(S_OK, more.hr);
        });
    EXPECT_LT(took, kAnswer);
    ASSERT_EQ(S_OK, read.hr);
    EXPECT_EQ(OPC_QUALITY_GOOD, read.qualities[0]);
    EXPECT_EQ(kCommFailure, read.qualities[1]);
    EXPECT_GE(mixed_.sink->Count(DataCall::kDataChange), changesBefore + 8)
        << "the group's cycle went on meanwhile";

    // Unresponsive now: no second wait.
    EXPECT_LT(Timed([&] { read = SyncRead(mixed_.io.Get(), OPC_DS_DEVICE, mixed_.All()); }),
              kPrompt);
    EXPECT_EQ(kCommFailure, read.qualities[1]);

    Answer();
    EXPECT_TRUE(EvilAnswersAgain(15000)) << "a driver that returns is used again";
}

TEST_F(HungDriver, ARecordReadThatDoesNotReturnStopsNeitherTheCycleNorTheOtherClients) {
    ASSERT_NO_FATAL_FAILURE(Start("DLLGetObjectInfo"));
    Hang();
    ReadResult read;
    const ULONGLONG took =
        WhileHung([&] { read = SyncRead(mixed_.io.Get(), OPC_DS_DEVICE, mixed_.All()); },
                  [&] { OthersAreServed(); });
    EXPECT_LT(took, kAnswer);
    ASSERT_EQ(S_OK, read.hr);
    EXPECT_EQ(OPC_QUALITY_GOOD, read.qualities[0]);
    EXPECT_EQ(kCommFailure, read.qualities[1]);

    // The cycle goes on, with the hung driver's item as communication failure.
    const size_t seen = mixed_.sink->Count(DataCall::kDataChange);
    ASSERT_TRUE(mixed_.sink->WaitFor(DataCall::kDataChange, seen + 4, 5000));
    const DataCall last = mixed_.sink->Calls(DataCall::kDataChange).back();
    ASSERT_EQ(2u, last.qualities.size());
    EXPECT_EQ(OPC_QUALITY_GOOD, last.qualities[0]);
    EXPECT_EQ(kCommFailure, last.qualities[1]);

    // An asynchronous read reports at once, the same way.
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    std::vector<OPCHANDLE> handles = mixed_.All();
    ASSERT_EQ(S_OK, mixed_.async->Read(2, handles.data(), 31, &cancelId, &errors));
    CoTaskMemFree(errors);
    ASSERT_TRUE(mixed_.sink->WaitFor(DataCall::kReadComplete, 1, static_cast<DWORD>(kPrompt)));
    const DataCall done = mixed_.sink->Calls(DataCall::kReadComplete).front();
    EXPECT_EQ(31u, done.transaction);
    EXPECT_EQ((std::vector<WORD>{OPC_QUALITY_GOOD, kCommFailure}), done.qualities);

    Answer();
    EXPECT_TRUE(EvilAnswersAgain(15000));
}

// Each cycle that asks the hung driver waits for it up to the limit. With more groups stuck so
// than the cycles have standing workers, another group's cycles must still come at its rate.
TEST_F(HungDriver, CyclesStuckInAHungDriverHoldUpNoOtherGroup) {
    ASSERT_NO_FATAL_FAILURE(Start("DLLReadChangedTags"));
    std::vector<std::unique_ptr<TestGroup>> stuck;
    for (int i = 0; i < 3; ++i) {
        stuck.push_back(std::make_unique<TestGroup>());
        const std::wstring name = L"Stuck" + std::to_wstring(i);
        ASSERT_NO_FATAL_FAILURE(stuck.back()->Make(server_.Get(), name.c_str(), {L"Evil.Dev.T"}));
    }
    Hang();
    Sleep(1000);  // every group with an Evil item is in a cycle that waits for it
    const size_t seen = other_.sink->Count(DataCall::kDataChange);
    Sleep(3000);
    EXPECT_GE(other_.sink->Count(DataCall::kDataChange), seen + 4)
        << "the other group's cycles at 250 ms went on";
    Answer();
    EXPECT_TRUE(EvilAnswersAgain(15000));
}

TEST_F(HungDriver, AWriteThatDoesNotReturnFailsWithinTheLimitAndLeavesTheCache) {
    ASSERT_NO_FATAL_FAILURE(Start("DLLSetObjectInfo"));
    Hang();
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    const ULONGLONG took = WhileHung(
        [&] { errors = SyncWrite(mixed_.io.Get(), mixed_.All(), 5.0, &hr); },
        [&] {
            OthersAreServed();
            HRESULT other = E_FAIL;
            EXPECT_LT(Timed([&] { SyncWrite(other_.io.Get(), other_.All(), 8.0, &other); }),
                      kPrompt);
            EXPECT_EQ(S_OK, other);
        });
    EXPECT_LT(took, kAnswer);
    EXPECT_EQ(S_FALSE, hr);
    EXPECT_EQ((std::vector<HRESULT>{S_OK, E_FAIL}), errors);
    ReadResult cache = SyncRead(mixed_.io.Get(), OPC_DS_CACHE, mixed_.All());
    ASSERT_EQ(S_OK, cache.hr);
    EXPECT_EQ(5.0f, V_R4(cache.values[0].Get()));
    EXPECT_NE(5.0f, V_R4(cache.values[1].Get())) << "a value the driver did not take";

    // Unresponsive: the next write fails at once.
    EXPECT_LT(Timed([&] { errors = SyncWrite(mixed_.io.Get(), mixed_.All(), 6.0, &hr); }), kPrompt);
    EXPECT_EQ(E_FAIL, errors[1]);

    Answer();
    const ULONGLONG start = GetTickCount64();
    do {
        errors = SyncWrite(mixed_.io.Get(), mixed_.All(), 7.0, &hr);
    } while (hr != S_OK && GetTickCount64() - start < 15000 && (Sleep(500), true));
    EXPECT_EQ(S_OK, hr) << "writes reach the driver again";
}

TEST_F(HungDriver, AResolutionThatDoesNotReturnFailsOnlyItsOwnItems) {
    ASSERT_NO_FATAL_FAILURE(Start("DLLGetObjectID"));
    Hang();
    Added added;
    const ULONGLONG took = WhileHung(
        [&] {
            added = AddItems(mixed_.items.Get(), {L"Probe.Dev.Fixed", L"Evil.Dev.U"}, 20);
        },
        [&] { OthersAreServed(); });
    EXPECT_LT(took, kAnswer);
    ASSERT_EQ(S_FALSE, added.hr);
    EXPECT_EQ(S_OK, added.errors[0]);
    EXPECT_EQ(E_FAIL, added.errors[1]) << "the driver did not answer";

    // Unresponsive: validation fails at once for its identifiers, not for the others.
    const std::vector<std::wstring> ids = {L"Probe.Dev.Text", L"Evil.Dev.U"};
    std::vector<OPCITEMDEF> defs = Definitions(ids, 1);
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_LT(Timed([&] {
                  EXPECT_EQ(S_FALSE,
                            mixed_.items->ValidateItems(2, defs.data(), FALSE, &results, &errors));
              }),
              kPrompt);
    if (errors) {
        EXPECT_EQ(S_OK, errors[0]);
        EXPECT_EQ(E_FAIL, errors[1]);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    Answer();
    const ULONGLONG start = GetTickCount64();
    do {
        added = AddItems(mixed_.items.Get(), {L"Evil.Dev.U"}, 30);
    } while (added.hr != S_OK && GetTickCount64() - start < 15000 && (Sleep(500), true));
    EXPECT_EQ(S_OK, added.hr) << "identifiers resolve again";
}

TEST_F(HungDriver, BrowsingAndPropertiesOfAHungDriverShowNothingWithinTheLimit) {
    ASSERT_NO_FATAL_FAILURE(Start("DLLEnumChildren,DLLEnumTags"));
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server_.As(browse));
    ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(S_OK, server_.As(properties));
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Evil"));
    Hang();
    auto list = [&](IOPCBrowseServerAddressSpace* b, OPCBROWSETYPE type, HRESULT* hr) {
        ComPtr<IEnumString> e;
        *hr = b->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Put());
        return e ? AllStrings(e.Get()) : std::vector<std::wstring>();
    };
    HRESULT hr = E_FAIL;
    std::vector<std::wstring> names;
    ComPtr<IOPCBrowseServerAddressSpace> another =
        install_.ConnectAs<IOPCBrowseServerAddressSpace>();
    ASSERT_TRUE(another);
    const ULONGLONG took = WhileHung(
        [&] { names = list(browse.Get(), OPC_BRANCH, &hr); },
        [&] {
            OthersAreServed();
            HRESULT probeHr = E_FAIL;
            another->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe.Dev");
            std::vector<std::wstring> leaves;
            EXPECT_LT(Timed([&] { leaves = list(another.Get(), OPC_LEAF, &probeHr); }), kPrompt);
            EXPECT_EQ(S_OK, probeHr);
            EXPECT_FALSE(leaves.empty());
        });
    EXPECT_LT(took, kAnswer);
    EXPECT_EQ(S_FALSE, hr) << "the driver's branch shows empty";
    EXPECT_TRUE(names.empty());

    // Unresponsive now: its properties fail at once with E_FAIL, the probe's are there.
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_LT(Timed([&] {
                  EXPECT_EQ(E_FAIL, properties->QueryAvailableProperties(
                                        const_cast<LPWSTR>(L"Evil.Dev.T"), &count, &ids,
                                        &descriptions, &types));
              }),
              kPrompt);
    ASSERT_EQ(S_OK, properties->QueryAvailableProperties(const_cast<LPWSTR>(L"Probe.Dev.Temp"),
                                                         &count, &ids, &descriptions, &types));
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);

    Answer();
    const ULONGLONG start = GetTickCount64();
    do {
        names = list(browse.Get(), OPC_BRANCH, &hr);
    } while (hr != S_OK && GetTickCount64() - start < 15000 && (Sleep(500), true));
    EXPECT_EQ((std::vector<std::wstring>{L"Dev"}), names) << "its tree shows again";
}

}  // namespace
