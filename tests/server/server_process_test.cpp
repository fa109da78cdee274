// The server process end to end: a copy of the server installed in a scratch directory with
// the probe driver as its only driver, registered in the prefix, started by COM or by hand,
// and watched through the registry, the process list and the probe's call log.
#include <windows.h>
#include <tlhelp32.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <iostream>
#include <set>
#include <thread>
#include <vector>
#include <string>

#include "ansi_text.h"
#include "child_process.h"
#include "com_ptr.h"
#include "configuration_file.h"
#include "driver_list.h"
#include "opc.h"
#include "opc_client_fixture.h"
#include "probe_driver_files.h"
#include "server_installation.h"
#include "shutdown_sink.h"
#include "server_identity.h"
#include "server_module.h"
#include "win_handle.h"
#include "top_level_windows.h"

namespace {

class ServerProcess : public testing::Test, public ServerInstallation {
  protected:
    using ServerInstallation::Run;

    // Saves the probe's tree with one more tag, Dev.Saved (33.5), as the registered server's
    // default configuration, then takes that tag out of the probe's own file again (`extra`
    // goes into it instead): only a server that loaded its configuration knows the tag.
    std::string SaveWithSavedOnlyTag(const std::string& extra = "") {
        WriteTextFile(probe_ + ".txt", std::string(kProbeTree) + "tag=Dev.Saved:R4:33.5\n");
        EXPECT_TRUE(SaveDefaultConfiguration([](const std::string&, CDriver&) { return true; }));
        WriteTextFile(probe_ + ".txt", std::string(kProbeTree) + extra);
        return dir_.File("test.cfg");
    }
    // Stops every server process (all of them are this test's) and waits until none is left.
    void StopAllServers() {
        for (DWORD id : ServerProcesses()) started_.insert(id);
        StopStartedServers();
        ASSERT_NE(0u, WaitForNoServer(30000));
    }
};

struct Status {
    HRESULT hr = E_FAIL;
    OPCSERVERSTATE state = OPC_STATUS_FAILED;
    std::wstring vendor;
};

Status StatusOf(IOPCCommon* common) {
    Status s;
    ComPtr<IOPCServer> server;
    s.hr = common->QueryInterface(IID_IOPCServer, server.PutVoid());
    OPCSERVERSTATUS* status = nullptr;
    if (SUCCEEDED(s.hr)) s.hr = server->GetStatus(&status);
    if (status) {
        s.state = status->dwServerState;
        if (status->szVendorInfo) s.vendor = status->szVendorInfo;
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
    }
    return s;
}

// The error AddItems gives the item in a group of its own.
HRESULT AddOne(IOPCCommon* common, const wchar_t* id) {
    ComPtr<IOPCServer> server;
    if (FAILED(common->QueryInterface(IID_IOPCServer, server.PutVoid()))) return E_NOINTERFACE;
    AddedGroup group = AddGroupTo(server.Get(), L"", 1000, FALSE);
    ComPtr<IOPCItemMgt> items;
    if (FAILED(group.hr) || FAILED(group.state.As(items))) return E_FAIL;
    Added a = AddItems(items.Get(), {id});
    return a.errors.empty() ? a.hr : a.errors[0];
}

std::string DefaultConfigurationValue() {
    return RegistryValue(std::string("AppID\\") + kServerAppIdText + "\\Configuration",
                         "DefaultConfiguration");
}

const std::string kClassKey = std::string("CLSID\\") + kServerClsidText;

TEST_F(ServerProcess, RegistrationSwitchesWriteAndRemoveTheEntries) {
    ASSERT_TRUE(Run("/RegServer"));
    EXPECT_EQ(ShortPathName(exe_), RegistryValue(kClassKey + "\\LocalServer32"));
    EXPECT_EQ(kServerClsidText, RegistryValue("OPCServerVEXA.OPCServer\\CLSID"));
    ASSERT_TRUE(Run("/UnregServer"));
    EXPECT_EQ("<no key>", RegistryValue(kClassKey));
    EXPECT_EQ("<no key>", RegistryValue(std::string("AppID\\") + kServerAppIdText));
    ASSERT_TRUE(Run("-regserver"));
    EXPECT_EQ("OPCServerVEXA", RegistryValue(std::string("AppID\\") + kServerAppIdText));
    ASSERT_TRUE(Run("-UNREGSERVER"));
    EXPECT_EQ("<no key>", RegistryValue(kClassKey));

    // Followed by anything, the switch is no registration: a plain server starts and stays.
    DWORD id = 0;
    HANDLE plain = Start("/RegServer extra", &id);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(plain, 3000));
    StopServer(plain, id);
    CloseHandle(plain);
    EXPECT_EQ("<no key>", RegistryValue(kClassKey));
}

// A client process killed while subscribed: its groups go (the driver's client count drops)
// while another client is served on; once that one has gone too, the process ends.
TEST_F(ServerProcess, AKilledClientsGroupsGoAndTheProcessStillEnds) {
    ASSERT_TRUE(Run("/RegServer"));
    ComPtr<IOPCServer> server = ConnectAs<IOPCServer>();
    ASSERT_TRUE(server);
    HANDLE client =
        StartChild(L"opcclient.exe", L"watch OPCServerVEXA.OPCServer Probe.Dev.Count --rate 250");
    ASSERT_TRUE(client);
    auto countIs = [&](unsigned long expected) {
        for (int i = 0; i < 300; ++i, Sleep(100))
            if (LastClientCount(ReadProbeLog(probe_), "Count") == expected) return true;
        return false;
    };
    EXPECT_TRUE(countIs(1)) << "the watching client's item";
    TerminateProcess(client, 9);
    CloseHandle(client);
    EXPECT_TRUE(countIs(0)) << "the killed client's group is removed";
    EXPECT_EQ(1u, ServerProcesses().size());
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, server->GetStatus(&status)) << "the other client is served on";
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    server.Reset();
    EXPECT_NE(0u, WaitForNoServer(30000));
}

TEST_F(ServerProcess, ComStartedServerEndsAboutFiveSecondsAfterItsLastClient) {
    ASSERT_TRUE(Run("/RegServer"));
    ASSERT_TRUE(ServerProcesses().empty());
    ComPtr<IOPCCommon> server = Connect();
    ASSERT_TRUE(server);
    LCID lcid = 0;
    EXPECT_EQ(S_OK, server->GetLocaleID(&lcid));
    EXPECT_EQ(1049u, lcid);
    EXPECT_EQ(1u, ServerProcesses().size());
    // The scan thread starts its drivers on its own time.
    auto log = ReadProbeLog(probe_);
    for (int i = 0; i < 100 && CountCalls(log, "DLLStart") == 0; ++i) {
        Sleep(50);
        log = ReadProbeLog(probe_);
    }
    EXPECT_EQ(1u, CountCalls(log, "DLLStart")) << "the first server object starts the scan";
    EXPECT_EQ(0u, CountCalls(log, "DLLUpdate")) << "no group: no update";

    server.Reset();
    Sleep(3000);  // activity within the grace period extends it
    EXPECT_EQ(1u, ServerProcesses().size());
    server = Connect();
    server.Reset();
    const DWORD released = GetTickCount();
    const DWORD gone = WaitForNoServer(30000);
    ASSERT_NE(0u, gone) << "the server did not end by itself";
    EXPECT_GE(gone - released, 4000u);
    log = ReadProbeLog(probe_);
    EXPECT_EQ(CountCalls(log, "DLLStart"), CountCalls(log, "DLLStop"));
    EXPECT_EQ(0u, CountCalls(log, "DLLUpdate"));
}

TEST_F(ServerProcess, ManyClientThreadsCreatingAndReleasingLeaveOneScanThreadOrNone) {
    ASSERT_TRUE(Run("/RegServer"));
    ComPtr<IOPCCommon> keeper = Connect();  // keeps the process up meanwhile
    ASSERT_TRUE(keeper);
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            CLSID clsid;
            CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &clsid);
            for (int i = 0; i < 10; ++i) {
                ComPtr<IOPCCommon> server;
                if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCCommon,
                                            server.PutVoid())))
                    ++failures;
            }
            CoUninitialize();
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1u, CountCalls(ReadProbeLog(probe_), "DLLStart")) << "the keeper's scan goes on";
    keeper.Reset();
    ASSERT_NE(0u, WaitForNoServer(30000));
    auto log = ReadProbeLog(probe_);
    EXPECT_EQ(1u, CountCalls(log, "DLLStart"));
    EXPECT_EQ(1u, CountCalls(log, "DLLStop"));
}

TEST_F(ServerProcess, WithoutItsAppIdKeyTheServerStillStarts) {
    ASSERT_TRUE(Run("/RegServer"));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, (std::string("AppID\\") + kServerAppIdText).c_str());
    ComPtr<IOPCCommon> server = Connect();
    ASSERT_TRUE(server);
    LCID lcid = 0;
    EXPECT_EQ(S_OK, server->GetLocaleID(&lcid));
    server.Reset();
    EXPECT_NE(0u, WaitForNoServer(30000));
}

TEST_F(ServerProcess, StartedByHandWithoutClientsItNeverEndsByItself) {
    DWORD id = 0;
    HANDLE plain = Start("", &id);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(plain, 7000));
    StopServer(plain, id);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(plain, 0));
    CloseHandle(plain);
}

TEST_F(ServerProcess, TheDefaultConfigurationIsLoadedAtStartup) {
    ASSERT_TRUE(Run("/RegServer"));
    // Write a configuration with the same driver from this process and make it the default.
    const std::string file = dir_.File("default.cfg");
    WriteTextFile(dir_.File("Drivers.cfg.abs"), probe_ + "|Probe\r\n");
    g_drivers.LoadFrom(dir_.File("Drivers.cfg.abs"));
    ASSERT_TRUE(SaveConfiguration(file));
    g_drivers.Unload();
    const size_t loadsBefore = [&] {
        size_t n = 0;
        for (const auto& c : ReadProbeLog(probe_))
            n += c.entering && c.entry == "DLLSerialize" && c.args == "load";
        return n;
    }();

    ComPtr<IOPCCommon> server = Connect();
    ASSERT_TRUE(server);
    size_t loads = 0;
    for (const auto& c : ReadProbeLog(probe_))
        loads += c.entering && c.entry == "DLLSerialize" && c.args == "load";
    EXPECT_EQ(loadsBefore + 1, loads);
    Status loaded = StatusOf(server.Get());
    EXPECT_EQ(OPC_STATUS_RUNNING, loaded.state);
    EXPECT_EQ(std::wstring::npos, loaded.vendor.find(L"not loaded")) << loaded.vendor;
    server.Reset();
    ASSERT_NE(0u, WaitForNoServer(30000));

    // A missing file and a file that is no compound file: the server still starts, and says
    // that it has no configuration.
    for (const char* content : {"", "not a compound file"}) {
        DeleteFileA(file.c_str());
        if (*content) WriteTextFile(file, content);
        server = Connect();
        ASSERT_TRUE(server);
        LCID lcid = 0;
        EXPECT_EQ(S_OK, server->GetLocaleID(&lcid));
        Status s = StatusOf(server.Get());
        EXPECT_EQ(S_OK, s.hr);
        EXPECT_EQ(OPC_STATUS_NOCONFIG, s.state) << content;
        EXPECT_NE(std::wstring::npos, s.vendor.find(AnsiToWide(file) + L" not loaded")) << s.vendor;
        server.Reset();
        ASSERT_NE(0u, WaitForNoServer(30000));
    }
}

// Two clients activating a server that does not run yet, at the same moment, may each start a
// server process. Whichever process a client lands on, it has the configuration: a process
// reads the file without keeping the other out. The probe takes a second over its stream, so
// that the first process would hold the file for that long if it kept it open while loading.
// Afterwards every process ends by itself, the one that no client reached as well.
TEST_F(ServerProcess, TwoClientsActivatingAColdServerAtOnceBothGetTheirItems) {
    ASSERT_TRUE(Run("/RegServer"));
    SaveWithSavedOnlyTag("load_delay_ms=1000\n");
    constexpr int kRounds = 6;
    const std::wstring name = L"OPCServerVEXA.ActivationRace";
    int twoProcesses = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        ASSERT_TRUE(ServerProcesses().empty());
        UniqueHandle ready(CreateSemaphoreW(nullptr, 0, 2, (name + L".ready").c_str()));
        UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, (name + L".start").c_str()));
        ASSERT_TRUE(ready && start);
        ChildRun runs[2];
        std::atomic<int> done{0};
        std::vector<std::thread> clients;
        for (size_t i = 0; i < 2; ++i)
            clients.emplace_back([&, i] {
                runs[i] = RunChild(L"activation_client.exe", name + L" Probe.Dev.Saved", 120000);
                ++done;
            });
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.Get(), 60000)) << "client ready";
        SetEvent(start.Get());
        size_t most = 0;
        while (done.load() < 2) {
            most = std::max(most, ServerProcesses().size());
            Sleep(20);
        }
        for (auto& c : clients) c.join();
        twoProcesses += most > 1;
        for (const ChildRun& run : runs) {
            EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
            EXPECT_EQ("ok 33.5", run.out.substr(0, run.out.find_first_of("\r\n"))) << run.out;
        }
        // Both processes end by themselves, also one that no client reached.
        if (WaitForNoServer(CServerModule::kGracePeriodMs + 30000) == 0) {
            ADD_FAILURE() << "a server process did not end by itself";
            StopAllServers();
        }
    }
    std::cout << "[          ] " << twoProcesses << " of " << kRounds
              << " rounds started two server processes\n";
}

// A reader that lets other readers in (a backup, a viewer) keeps no server from its
// configuration.
TEST_F(ServerProcess, AConfigurationHeldOpenByAnotherReaderStillLoads) {
    ASSERT_TRUE(Run("/RegServer"));
    const std::string file = SaveWithSavedOnlyTag();
    UniqueHandle reader(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    ComPtr<IOPCCommon> server = Connect();
    ASSERT_TRUE(server);
    EXPECT_EQ(S_OK, AddOne(server.Get(), L"Probe.Dev.Saved"));
    EXPECT_EQ(OPC_STATUS_RUNNING, StatusOf(server.Get()).state);
}

// A file that another program keeps open for writing: start-up waits for it a while, then
// serves what it has and says so to every client and in the log beside the executable.
TEST_F(ServerProcess, AConfigurationBeingWrittenIsReportedInTheStatusAndTheLog) {
    ASSERT_TRUE(Run("/RegServer"));
    const std::string file = SaveWithSavedOnlyTag();
    UniqueHandle writer(CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    const DWORD before = GetTickCount();
    ComPtr<IOPCCommon> server = Connect();
    ASSERT_TRUE(server);
    EXPECT_GE(GetTickCount() - before, kConfigurationBusyLimitMs) << "start-up waited for it";
    Status s = StatusOf(server.Get());
    EXPECT_EQ(OPC_STATUS_NOCONFIG, s.state);
    EXPECT_NE(std::wstring::npos, s.vendor.find(L"VEXA OPC DA Server")) << s.vendor;
    EXPECT_NE(std::wstring::npos,
              s.vendor.find(L"Configuration " + AnsiToWide(file) +
                            L" not loaded: another program kept it open for writing"))
        << s.vendor;
    EXPECT_EQ(OPC_E_INVALIDITEMID, AddOne(server.Get(), L"Probe.Dev.Saved"));
    const std::string log = ReadTextFile(dir_.File("bin\\OPCServerVEXA.log"));
    EXPECT_NE(std::string::npos, log.find("Configuration " + file + " not loaded")) << log;
    EXPECT_EQ(1u, std::count(log.begin(), log.end(), '\n')) << log;

    // Once the writer is done, the next start loads it and reports nothing.
    writer.Reset();
    server.Reset();
    StopAllServers();
    server = Connect();
    ASSERT_TRUE(server);
    EXPECT_EQ(S_OK, AddOne(server.Get(), L"Probe.Dev.Saved"));
    s = StatusOf(server.Get());
    EXPECT_EQ(OPC_STATUS_RUNNING, s.state);
    EXPECT_EQ(std::wstring::npos, s.vendor.find(L"not loaded")) << s.vendor;
    EXPECT_EQ(log, ReadTextFile(dir_.File("bin\\OPCServerVEXA.log"))) << "nothing to report";
}

// A process COM started for an activation that another process took never hears of a client:
// it ends once the grace period after its start-up has passed, and the other one serves on.
TEST_F(ServerProcess, ADuplicateStartedByComWithoutAClientEndsAfterTheGracePeriod) {
    ASSERT_TRUE(Run("/RegServer"));
    ComPtr<IOPCCommon> server = Connect();
    ASSERT_TRUE(server);
    const std::set<DWORD> serving = ServerProcesses();
    ASSERT_EQ(1u, serving.size());
    DWORD id = 0;
    const DWORD started = GetTickCount();
    UniqueHandle duplicate(Start("-Embedding", &id));
    ASSERT_TRUE(duplicate);
    EXPECT_EQ(WAIT_OBJECT_0,
              WaitForSingleObject(duplicate.Get(), CServerModule::kGracePeriodMs + 30000))
        << "the duplicate did not end by itself";
    EXPECT_GE(GetTickCount() - started, CServerModule::kGracePeriodMs) << "not before its grace";
    EXPECT_EQ(serving, ServerProcesses());
    EXPECT_EQ(S_OK, StatusOf(server.Get()).hr) << "the first one serves on";
}

TEST_F(ServerProcess, DefaultSettingsAsksWhereToSaveThenServes) {
    ASSERT_TRUE(Run("/RegServer"));
    DWORD id = 0;
    HANDLE server = Start("/DefaultSettings", &id);
    ASSERT_NE(nullptr, server);
    HWND dialog = WaitForDialogOf(id, 30000);
    ASSERT_NE(nullptr, dialog) << "no save dialog";
    const std::string file = dir_.File("fresh.cfg");
    SetDlgItemTextA(dialog, 0x47C, file.c_str());  // the file name box, in either dialog style
    SetDlgItemTextA(dialog, 0x480, file.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 200 && DefaultConfigurationValue() != file; ++i) Sleep(100);
    EXPECT_EQ(file, DefaultConfigurationValue());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(file.c_str()));
    EXPECT_EQ(1u, CountCalls(ReadProbeLog(probe_), "DLLDefaultSettings"));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server, 0)) << "the server goes on serving";
    StopServer(server, id);
    CloseHandle(server);
}

TEST_F(ServerProcess, CancellingTheDefaultSettingsDialogEndsTheProcess) {
    ASSERT_TRUE(Run("/RegServer"));
    for (const char* arguments : {"-defaultsettings", "plain-argument"}) {
        DWORD id = 0;
        HANDLE server = Start(arguments, &id);
        ASSERT_NE(nullptr, server);
        HWND dialog = WaitForDialogOf(id, 30000);
        ASSERT_NE(nullptr, dialog) << arguments;
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 20000)) << arguments;
        StopServer(server, id);
        CloseHandle(server);
    }
    EXPECT_EQ('<', DefaultConfigurationValue()[0]) << "no default configuration recorded";
    EXPECT_EQ(2u, CountCalls(ReadProbeLog(probe_), "DLLDefaultSettings"));
}

// A driver that faults (an access violation in its update) is retired: the server goes on,
// the driver's items read as "device failure" while the other driver's stay good, writes to
// them fail, and its branch of the address space is empty.
TEST_F(ServerProcess, AFaultingDriverIsRetiredWhileTheOthersServe) {
    AddDriver("probe_driver.dll", "Bad", "root=Bad\nbranch=Dev\ntag=Dev.T:R4:1\nfault=DLLUpdate\n");
    ASSERT_TRUE(Run("/RegServer"));
    ComPtr<IOPCServer> server = ConnectAs<IOPCServer>();
    ASSERT_TRUE(server);
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ASSERT_EQ(S_OK, server.As(browse));
    AddedGroup group = AddGroupTo(server.Get(), L"Both", 1000, FALSE);
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, group.state.As(items));
    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, group.state.As(io));
    Added a = AddItems(items.Get(), {L"Probe.Dev.Temp", L"Bad.Dev.T"});
    ASSERT_EQ(S_OK, a.hr);

    OPCHANDLE handles[] = {a[0], a[1]};
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 2, handles, &states, &errors));  // scans: Bad faults
    EXPECT_EQ(OPC_QUALITY_GOOD, states[0].wQuality);
    EXPECT_FLOAT_EQ(21.5f, V_R4(&states[0].vDataValue));
    EXPECT_EQ(OPC_QUALITY_BAD | 0x0C, states[1].wQuality) << "device failure";
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_R4;
    V_R4(&value) = 5;
    VARIANT values[] = {value, value};
    ASSERT_EQ(S_FALSE, io->Write(2, handles, values, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(E_FAIL, errors[1]) << "a retired driver takes no value";
    CoTaskMemFree(errors);

    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Bad"));
    ComPtr<IEnumString> names;
    browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.Put());
    EXPECT_TRUE(AllStrings(names.Get()).empty());
    ASSERT_EQ(S_OK, browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Probe"));
    names.Reset();
    browse->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, names.Put());
    EXPECT_EQ(std::vector<std::wstring>{L"Dev"}, AllStrings(names.Get()));
}

// The end of the session reaches a top-level window only: a server without a window still
// tells its connected clients.
TEST_F(ServerProcess, TheSessionsEndIsAnnouncedToConnectedClients) {
    ASSERT_TRUE(Run("/RegServer"));
    LettingGoShutdownSink sink;
    ComPtr<IOPCServer> server = ConnectAs<IOPCServer>();
    ASSERT_TRUE(server);
    ASSERT_EQ(S_OK, sink.AdviseOn(server));
    server.Reset();
    const std::set<DWORD> servers = ServerProcesses();
    ASSERT_EQ(1u, servers.size());
    const HWND watcher = WindowOf(*servers.begin(), L"OPCServerVEXA.SessionEndWatcher", false);
    ASSERT_NE(nullptr, watcher);
    EXPECT_TRUE(SendMessageW(watcher, WM_QUERYENDSESSION, 0, 0));
    EXPECT_EQ(0, sink.calls_) << "only the end itself is announced";
    SendMessageW(watcher, WM_ENDSESSION, TRUE, 0);
    ASSERT_TRUE(sink.WaitForCall(10000));
    EXPECT_EQ(L"Сервер OPC завершает работу", sink.reason_);
}

// A driver whose update never returns: a device read waits for it at most the driver lock's
// limit and reports its items as communication failure while the other driver's are good;
// the process still ends by itself once the client has gone.
TEST_F(ServerProcess, AHungDriverCostsADeviceReadAtMostTheLimitAndTheProcessStillEnds) {
    AddDriver("probe_driver.dll", "Hung",
              "root=Hung\nbranch=Dev\ntag=Dev.T:R4:1\nhang=DLLUpdate\n");
    ASSERT_TRUE(Run("/RegServer"));
    ComPtr<IOPCServer> server = ConnectAs<IOPCServer>();
    ASSERT_TRUE(server);
    AddedGroup group = AddGroupTo(server.Get(), L"Both", 250, FALSE);
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, group.state.As(items));
    ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(S_OK, group.state.As(io));
    Added a = AddItems(items.Get(), {L"Probe.Dev.Temp", L"Hung.Dev.T"});
    ASSERT_EQ(S_OK, a.hr);
    Sleep(1000);  // the scan thread's first pass: the hung update begins

    OPCHANDLE handles[] = {a[0], a[1]};
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 2, handles, &states, &errors));
    EXPECT_LT(GetTickCount64() - start, 25000ull);
    EXPECT_EQ(OPC_QUALITY_GOOD, states[0].wQuality);
    EXPECT_EQ(OPC_QUALITY_BAD | 0x18, states[1].wQuality) << "communication failure";
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    const std::set<DWORD> servers = ServerProcesses();
    ASSERT_EQ(1u, servers.size());
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, *servers.begin());
    ASSERT_NE(nullptr, process);
    io.Reset();
    items.Reset();
    group.state.Reset();
    server.Reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 60000)) << "the process ended";
    CloseHandle(process);
}

}  // namespace
