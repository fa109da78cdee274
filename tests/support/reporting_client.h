// Reporting by exception seen from a real client: the probe's tree of such tests, a server
// installation whose "report changes only" setting is stored before the server starts, and a
// subscribed group whose sink records which items each cycle sends. Values change by
// synchronous writes (the probe keeps what it is given), qualities by the probe's
// quality_while file. Flow has the engineering range 0-200, so a 10 % deadband is 20.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>

#include "opc_client_fixture.h"
#include "recording_sink.h"
#include "reporting_setting.h"

inline constexpr DWORD kRate = 250;
// Long enough for several cycles at kRate on a busy machine, short enough to keep the suite
// quick: a cycle that should send nothing has this long to send something anyway.
inline constexpr DWORD kQuietMs = 1500;
inline constexpr DWORD kWaitMs = 10000;

inline std::string Tree(const std::string& badFile) {
    return "root=Probe\n"
           "branch=Dev\n"
           "tag=Dev.Flow:R8:50\n"
           "eu=Dev.Flow:0:200:m3/h\n"
           "tag=Dev.Level:R8:5\n"
           "tag=Dev.Count:I4:7\n"
           "tag=Dev.Text:BSTR:hello\n"
           "quality_while=" +
           badFile +
           ":40\n"
           "log=off\n";
}

inline VARIANT R8(double value) {
    VARIANT v;
    V_VT(&v) = VT_R8;
    V_R8(&v) = value;
    return v;
}

inline VARIANT I4(LONG value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

// A group of this test: items Flow, Level, Count, Text as client handles 1-4.
struct Watched {
    AddedGroup added;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    ComPtr<IConnectionPoint> point;
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    std::vector<OPCHANDLE> handles;

    // Sync write of one value to the item with client handle `client`.
    void Write(OPCHANDLE client, VARIANT value) {
        HRESULT* errors = nullptr;
        OPCHANDLE h = handles.at(client - 1);
        EXPECT_EQ(S_OK, io->Write(1, &h, &value, &errors));
        CoTaskMemFree(errors);
        VariantClear(&value);
    }
    std::vector<DataCall> Changes() { return sink->Calls(DataCall::kDataChange); }
    // Waits for the cycle callback after the `seen` ones already counted.
    DataCall Next(size_t seen) {
        EXPECT_TRUE(sink->WaitFor(DataCall::kDataChange, seen + 1, kWaitMs));
        std::vector<DataCall> calls = Changes();
        return calls.size() > seen ? calls[seen] : DataCall{};
    }
};

inline std::vector<OPCHANDLE> Clients(const DataCall& c) {
    std::vector<OPCHANDLE> sorted = c.clients;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

inline const std::vector<std::wstring> kIds = {L"Probe.Dev.Flow", L"Probe.Dev.Level",
                                               L"Probe.Dev.Count", L"Probe.Dev.Text"};
inline const std::vector<OPCHANDLE> kAll = {1, 2, 3, 4};

class ReportingTest : public OpcClientTest {
  protected:
    static void InstallWith(bool changesOnly) {
        badFile_ = new ScratchDirectory();
        Install(Tree(badFile_->File("bad")));
        // Stored before the first client starts the server, which reads it once.
        if (registered_) registered_ = StoreReportChangesOnly(changesOnly);
    }
    static void TearDownTestSuite() {
        OpcClientTest::TearDownTestSuite();
        delete badFile_;
        badFile_ = nullptr;
    }

    Watched Watch(FLOAT deadband, const std::vector<std::wstring>& ids = kIds, BOOL active = TRUE,
                  bool subscribe = true) {
        Watched w;
        const std::wstring name = L"R" + std::to_wstring(++groups_);
        w.added = AddGroupTo(server_.Get(), name.c_str(), kRate, active, nullptr, &deadband);
        EXPECT_EQ(S_OK, w.added.hr);
        if (!w.added.state) return w;
        EXPECT_EQ(S_OK, w.added.state.As(w.items));
        EXPECT_EQ(S_OK, w.added.state.As(w.io));
        Added a = AddItems(w.items.Get(), ids);
        EXPECT_EQ(S_OK, a.hr);
        for (const OPCITEMRESULT& r : a.results) w.handles.push_back(r.hServer);
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, w.added.state.As(container));
        EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, w.point.Put()));
        DWORD cookie = 0;
        if (subscribe) {
            EXPECT_EQ(S_OK, w.point->Advise(static_cast<IOPCDataCallback*>(w.sink.Get()), &cookie));
        }
        return w;
    }

    std::wstring VendorInfo() {
        ComPtr<IOPCServer> s = server_;
        OPCSERVERSTATUS* status = nullptr;
        std::wstring text;
        if (SUCCEEDED(s->GetStatus(&status)) && status) {
            if (status->szVendorInfo) text = status->szVendorInfo;
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        return text;
    }

    inline static ScratchDirectory* badFile_ = nullptr;
    int groups_ = 0;
};

class ChangesOnly : public ReportingTest {
  protected:
    static void SetUpTestSuite() { InstallWith(true); }
};

class EveryItem : public ReportingTest {
  protected:
    static void SetUpTestSuite() { InstallWith(false); }
};
