// 32-bit clients of the 64-bit server and 64-bit clients of the 32-bit server, as on 64-bit
// Windows: each side uses the proxies of its own bitness, both registered in their own view
// of the registry. The other build's files come from OPC_PEER_BIN. The tool `opcclient` of
// one bitness works a server of the other through every interface a client uses; the DA 1.0
// streams and the configuration files, which cross between the builds, must be the same
// bytes from either.
#include <windows.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "opc_client_fixture.h"
#include "recording_advise_sink.h"

namespace {

std::string PeerBuild() {
    std::string path = OPC_PEER_BIN;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// JSON without its layout (and without the spaces inside strings), so that an array's
// elements compare whatever lines the tool put them on.
std::string Compact(const std::string& json) {
    std::string compact;
    for (char c : json)
        if (c != ' ' && c != '\n' && c != '\r') compact += c;
    return compact;
}

bool HasValue(const std::string& json, const std::string& value) {
    return Has(Compact(json), Compact(value));
}

std::string Row(const std::string& table, const std::string& item) {
    size_t at = 0;
    while ((at = table.find(item + " ", at)) != std::string::npos) {
        if (at == 0 || table[at - 1] == '\n') return table.substr(at, table.find('\n', at) - at);
        at += item.size();
    }
    return "";
}

// The probe's tree with a tag of every type the probe offers, and a writable array. Every
// timestamp is fixed, so that two servers send the same bytes.
const std::string kTree = std::string(ServerInstallation::kProbeTree) +
                          "tag=Dev.Small:I1:-5\n"
                          "tag=Dev.Byte:UI1:200\n"
                          "tag=Dev.Short:I2:-300\n"
                          "tag=Dev.Wide:R8:2.5\n"
                          "tag=Dev.Flag:BOOL:0\n"
                          "tag=Dev.When:DATE:5/1/2024\n"
                          "tag=Dev.Series:R8[]:1;2.5;-3\n"
                          "stamp=133590000000000000\n";

// One installed server, of the other bitness than the `opcclient` that works it: the 64-bit
// server for the 32-bit client, or the 32-bit server for the 64-bit client.
template <bool kPeerServer>
class CrossBitness : public RegisteredServerTest {
  public:
    static void SetUpTestSuite() { Install(kTree, kPeerServer ? PeerBuild() : ""); }

    static std::wstring ToolExe() {
        return kPeerServer ? L"opcclient.exe" : Wide(PeerBuild()) + L"\\opcclient.exe";
    }
    static ChildRun Tool(const std::wstring& command, const std::wstring& rest,
                         DWORD timeoutMs = 60000) {
        return RunChild(ToolExe(), command + L" OPCServerVEXA.OPCServer " + rest, timeoutMs);
    }

    using RegisteredServerTest::install_;
};
class ThirtyTwoBitClient : public CrossBitness<false> {};
class ThirtyTwoBitServer : public CrossBitness<true> {};

// A test run both ways, its body written once against the fixture `f`.
#define BOTH_WAYS(name)                \
    template <class Fixture>           \
    void name##Body(Fixture& f);       \
    TEST_F(ThirtyTwoBitClient, name) { \
        name##Body(*this);             \
    }                                  \
    TEST_F(ThirtyTwoBitServer, name) { \
        name##Body(*this);             \
    }                                  \
    template <class Fixture>           \
    void name##Body(Fixture& f)

BOTH_WAYS(StatusBrowseAndProperties) {
    ChildRun status = f.Tool(L"status", L"");
    EXPECT_EQ(0u, status.exitCode) << status.err;
    EXPECT_TRUE(Has(status.out, "State:        running")) << status.out;

    ChildRun leaves = f.Tool(L"browse", L"Probe.Dev --leaves --depth 1");
    EXPECT_EQ(0u, leaves.exitCode) << leaves.err;
    EXPECT_TRUE(Has(leaves.out, "Probe.Dev.Темп\n")) << leaves.out;
    EXPECT_TRUE(Has(leaves.out, "Probe.Dev.Series\n")) << leaves.out;

    ChildRun props = f.Tool(L"props", L"Probe.Dev.Temp");
    EXPECT_EQ(0u, props.exitCode) << props.err;
    EXPECT_TRUE(Has(Row(props.out, "   2"), " 21.5")) << props.out;
    EXPECT_TRUE(Has(Row(props.out, "5000"), " Probe.Dev.Temp.Low")) << props.out;
    ChildRun array = f.Tool(L"props", L"Probe.Dev.Series --json");
    EXPECT_TRUE(HasValue(array.out, "\"type\": \"VT_ARRAY | VT_R8\", \"value\": [1, 2.5, -3],"))
        << array.out;
}

// Every read path brings the same values: the device, the cache, OnReadComplete and the DA 1.0
// read's stream.
BOTH_WAYS(EveryReadPathBringsEveryType) {
    const std::wstring items =
        L"Probe.Dev.Small Probe.Dev.Byte Probe.Dev.Short Probe.Dev.Count Probe.Dev.Temp "
        L"Probe.Dev.Wide Probe.Dev.Flag Probe.Dev.Text Probe.Dev.When Probe.Dev.Series "
        L"Probe.Dev.Темп";
    for (const char* how : {"--device", "", "--async", "--da1"}) {
        ChildRun read = f.Tool(L"read", items + L" --json " + Wide(how));
        EXPECT_EQ(0u, read.exitCode) << read.err;
        for (const char* value :
             {"\"value\": -5,", "\"value\": 200,", "\"value\": -300,", "\"value\": 7,",
              "\"value\": 21.5,", "\"value\": 2.5,", "\"value\": false,", "\"value\": \"hello\",",
              "\"value\": \"2024-05-01 00:00:00", "\"value\": [1, 2.5, -3],", "\"value\": 3,"})
            EXPECT_TRUE(HasValue(read.out, value)) << value << " read " << how << "\n" << read.out;
    }
}

BOTH_WAYS(WritesOfEveryTypeArriveAsWritten) {
    ChildRun write =
        f.Tool(L"write",
               L"Probe.Dev.Small=-7 Probe.Dev.Byte=9 Probe.Dev.Short=1234 Probe.Dev.Count=-100000 "
               L"Probe.Dev.Temp=1.25 Probe.Dev.Wide=-0.125 Probe.Dev.Flag=true "
               L"\"Probe.Dev.Text=Привет, мир\" \"Probe.Dev.When=2025-12-31 23:59:58\" "
               L"\"Probe.Dev.Series=[4, 5.5, -6, 7]\" Probe.Dev.Темп=-2");
    EXPECT_EQ(0u, write.exitCode) << write.out << write.err;
    ChildRun read =
        f.Tool(L"read",
               L"Probe.Dev.Small Probe.Dev.Byte Probe.Dev.Short Probe.Dev.Count Probe.Dev.Temp "
               L"Probe.Dev.Wide Probe.Dev.Flag Probe.Dev.Text Probe.Dev.When Probe.Dev.Series "
               L"Probe.Dev.Темп --device --json");
    EXPECT_EQ(0u, read.exitCode) << read.err;
    for (const char* value :
         {"\"value\": -7,", "\"value\": 9,", "\"value\": 1234,", "\"value\": -100000,",
          "\"value\": 1.25,", "\"value\": -0.125,", "\"value\": true,",
          "\"value\": \"Привет, мир\",", "\"value\": \"2025-12-31 23:59:58",
          "\"value\": [4, 5.5, -6, 7],", "\"value\": -2,"})
        EXPECT_TRUE(HasValue(read.out, value)) << value << "\n" << read.out;
    // The driver took the array as an array of doubles.
    bool seen = false;
    for (const ProbeCall& call : ReadProbeLog(f.install_->probe_))
        seen = seen || (!call.entering && call.entry == "DLLSetObjectInfo" &&
                        Has(call.args, "=>4;5.5;-6;7"));
    EXPECT_TRUE(seen);
}

BOTH_WAYS(CallbacksAndDa1StreamsArrive) {
    ChildRun watch =
        f.Tool(L"watch", L"Probe.Dev.Count Probe.Dev.Series Probe.Dev.Text --rate 250 --count 2");
    EXPECT_EQ(0u, watch.exitCode) << watch.err;
    EXPECT_TRUE(Has(watch.out, " Probe.Dev.Series = [")) << watch.out;
    EXPECT_TRUE(Has(watch.out, " Probe.Dev.Count = ")) << watch.out;

    ChildRun da1 = f.Tool(
        L"watch", L"Probe.Dev.Count Probe.Dev.Series Probe.Dev.Text --rate 250 --count 2 --da1");
    EXPECT_EQ(0u, da1.exitCode) << da1.err;
    EXPECT_TRUE(Has(da1.out, " Probe.Dev.Series = [")) << da1.out;
    EXPECT_TRUE(Has(da1.out, " Probe.Dev.Text = ")) << da1.out;
}

// The server's end reaches a watching client of the other bitness through its IOPCShutdown.
BOTH_WAYS(TheShutdownNoticeReachesTheClient) {
    ASSERT_NE(0u, f.install_->WaitForNoServer(60000)) << "the last test's server ended";
    ChildRun watch;
    std::thread watcher([&] { watch = f.Tool(L"watch", L"Probe.Dev.Count --rate 250", 60000); });
    // The client started the server; a few seconds more and it has subscribed.
    const DWORD start = GetTickCount();
    while (ServerProcesses().empty() && GetTickCount() - start < 30000) Sleep(100);
    Sleep(3000);
    for (DWORD id : ServerProcesses()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!process) continue;
        StopServer(process, id);
        CloseHandle(process);
    }
    watcher.join();
    EXPECT_EQ(1u, watch.exitCode) << watch.out << watch.err;
    EXPECT_TRUE(Has(watch.out, " the server is shutting down: Сервер OPC завершает работу\n"))
        << watch.out;
}

// Wine has no COM pinging: the server itself notices that the client process whose call
// created its server object has ended, and releases what it held.
BOTH_WAYS(AKilledClientLeavesNoServerBehind) {
    ASSERT_NE(0u, f.install_->WaitForNoServer(60000)) << "the last test's server ended";
    HANDLE client = StartChild(f.ToolExe(),
                               L"watch OPCServerVEXA.OPCServer Probe.Dev.Count "
                               L"Probe.Dev.Series --rate 250");
    ASSERT_TRUE(client);
    const DWORD start = GetTickCount();
    while (ServerProcesses().empty() && GetTickCount() - start < 30000) Sleep(100);
    Sleep(3000);  // subscribed, with callbacks under way
    TerminateProcess(client, 9);
    CloseHandle(client);
    EXPECT_NE(0u, f.install_->WaitForNoServer(60000))
        << "the server ends by itself once the killed client's objects are released";
}

// A 32-bit client whose proxies are not registered gets an error, and the server object it
// could not unmarshal does not keep the server running after the client has gone.
TEST_F(ThirtyTwoBitClient, AClientWithoutItsProxiesLeavesNoServerBehind) {
    ASSERT_NE(0u, install_->WaitForNoServer(60000)) << "the last test's server ended";
    auto registerProxies = [](const wchar_t* how) {
        for (const wchar_t* dll : {L"opcda_ps.dll", L"opccomn_ps.dll"})
            RunChild(L"C:\\windows\\syswow64\\regsvr32.exe",
                     std::wstring(how) + L" \"" + Wide(PeerBuild()) + L"\\" + dll + L"\"");
    };
    registerProxies(L"/s /u");
    ChildRun status = Tool(L"status", L"");
    registerProxies(L"/s");
    EXPECT_EQ(1u, status.exitCode) << status.out << status.err;
    EXPECT_NE(0u, install_->WaitForNoServer(60000))
        << "the server ends by itself once the client that could not use it has gone";
}

// A server of each bitness in turn, this (64-bit) process the client.
class BetweenBuilds : public testing::Test {};

// The first DATATIME stream of a group of every type, as a DA 1.0 client receives it.
std::vector<BYTE> FirstDa1Stream(const std::string& build) {
    ServerInstallation install(kTree, build);
    if (!install.Run("/RegServer")) return {};
    std::vector<BYTE> bytes;
    {
        ComPtr<IOPCServer> server = install.ConnectAs<IOPCServer>();
        if (!server) return {};
        AddedGroup group = AddGroupTo(server.Get(), L"Streams", 250, TRUE);
        ComPtr<IOPCItemMgt> items;
        ComPtr<IDataObject> data;
        if (FAILED(group.state.As(items)) || FAILED(group.state.As(data))) return {};
        Added added =
            AddItems(items.Get(),
                     {L"Probe.Dev.Small", L"Probe.Dev.Byte", L"Probe.Dev.Short", L"Probe.Dev.Count",
                      L"Probe.Dev.Temp", L"Probe.Dev.Wide", L"Probe.Dev.Flag", L"Probe.Dev.Text",
                      L"Probe.Dev.When", L"Probe.Dev.Series", L"Probe.Dev.Темп"});
        EXPECT_EQ(S_OK, added.hr);
        ComPtr<RecordingAdviseSink> sink = RecordingAdviseSink::Make();
        FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                         nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        DWORD connection = 0;
        EXPECT_EQ(S_OK, data->DAdvise(&format, 0, sink.Get(), &connection));
        EXPECT_TRUE(sink->WaitFor(1, 20000));
        if (!sink->Streams().empty()) bytes = sink->Streams()[0].bytes;
        data->DUnadvise(connection);
    }
    install.StopStartedServers();
    for (DWORD id : ServerProcesses()) install.started_.insert(id);
    return bytes;
}

TEST_F(BetweenBuilds, TheDa1StreamIsTheSameBytesFromEitherServer) {
    const std::vector<BYTE> own = FirstDa1Stream("");
    const std::vector<BYTE> peer = FirstDa1Stream(PeerBuild());
    ASSERT_GT(own.size(), 200u);
    EXPECT_EQ(own, peer);
}

ChildRun Roundtrip(bool peer, const std::string& verb, const std::string& file) {
    const std::wstring exe =
        peer ? Wide(PeerBuild()) + L"\\config_roundtrip.exe" : L"config_roundtrip.exe";
    return RunChild(exe, Wide(verb) + L" \"" + Wide(file) + L"\"");
}

// The simulator's and the Modbus driver's streams, written by one build, load in the other.
TEST_F(BetweenBuilds, ConfigurationFilesLoadInTheOtherBuild) {
    ScratchDirectory dir;
    const std::string written32 = dir.File("by32.cfg"), written64 = dir.File("by64.cfg");
    ChildRun w32 = Roundtrip(true, "write", written32);
    ChildRun w64 = Roundtrip(false, "write", written64);
    ASSERT_EQ(0u, w32.exitCode) << w32.err;
    ASSERT_EQ(0u, w64.exitCode) << w64.err;

    ChildRun in64from32 = Roundtrip(false, "dump", written32);
    ChildRun in64from64 = Roundtrip(false, "dump", written64);
    ChildRun in32from64 = Roundtrip(true, "dump", written64);
    ChildRun in32from32 = Roundtrip(true, "dump", written32);
    for (const ChildRun* run : {&in64from32, &in64from64, &in32from64, &in32from32})
        EXPECT_EQ(0u, run->exitCode) << run->err;
    EXPECT_TRUE(Has(in64from64.out, "Boiler")) << in64from64.out;
    EXPECT_TRUE(Has(in64from64.out, "PLC1")) << in64from64.out;
    EXPECT_EQ(in64from64.out, in64from32.out);
    EXPECT_EQ(in32from32.out, in32from64.out);
    EXPECT_EQ(in64from64.out, in32from32.out);
}

}  // namespace
