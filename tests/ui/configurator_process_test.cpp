// The configurator as the installed server shows it: started with -Configure, one window per
// machine, and the same process serving OPC clients while the user edits objects and runs
// debug scans. Driven from this process through window messages, as another program would.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "opc_client_fixture.h"
#include "recording_sink.h"
#include "resource_ids.h"
#include "server_installation.h"
#include "shutdown_sink.h"
#include "top_level_windows.h"

namespace {

class ConfiguratorProcess : public testing::Test, public ServerInstallation {
  protected:
    using ServerInstallation::Run;
};

// Visible top-level windows with the configurator's caption, of any process.
std::vector<HWND> ConfiguratorWindows() {
    std::vector<HWND> found;
    for (HWND h : TopLevelWindows()) {
        wchar_t text[64] = L"";
        GetWindowTextW(h, text, 64);
        if (IsWindowVisible(h) && wcscmp(text, L"OPC Server Configurator") == 0) found.push_back(h);
    }
    return found;
}

HWND WaitForConfiguratorOf(DWORD process, DWORD ms) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        for (HWND window : ConfiguratorWindows()) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == process) return window;
        }
        Sleep(100);
    }
    return nullptr;
}

// The tree control of the configurator's left pane: frame, splitter, form, tree.
HWND TreeOf(HWND frame) {
    for (HWND child = GetWindow(frame, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        for (HWND form = GetWindow(child, GW_CHILD); form; form = GetWindow(form, GW_HWNDNEXT))
            if (HWND tree = GetDlgItem(form, IDC_BROWSER_TREE)) return tree;
    return nullptr;
}

void Command(HWND window, UINT id) {
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

TEST_F(ConfiguratorProcess, OneWindowServesClientsWhileTheUserEditsAndScans) {
    ASSERT_TRUE(Run("/RegServer"));
    DWORD id = 0;
    HANDLE configurator = Start("-Configure", &id);
    ASSERT_NE(nullptr, configurator);
    HWND window = WaitForConfiguratorOf(id, 30000);
    ASSERT_NE(nullptr, window) << "no window titled \"OPC Server Configurator\"";

    // A second Configure start finds the window and becomes a plain server without one.
    DWORD secondId = 0;
    HANDLE second = Start("-Configure", &secondId);
    ASSERT_NE(nullptr, second);
    Sleep(3000);
    EXPECT_EQ(1u, ConfiguratorWindows().size());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(second, 0)) << "it serves without a window";
    StopServer(second, secondId);
    CloseHandle(second);

    // A client subscribes; the configurator's process serves it.
    ComPtr<IOPCServer> server = ConnectAs<IOPCServer>();
    ASSERT_TRUE(server);
    EXPECT_EQ(std::set<DWORD>{id}, ServerProcesses());
    AddedGroup group = AddGroupTo(server.Get(), L"Watch", 250);
    ASSERT_EQ(S_OK, group.hr);
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(S_OK, group.state.As(items));
    ASSERT_EQ(S_OK, AddItems(items.Get(), {L"Probe.Dev.Temp"}).hr);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, group.state.As(container));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()));
    ComPtr<RecordingSink> sink = RecordingSink::Make();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(static_cast<IOPCDataCallback*>(sink.Get()), &cookie));
    ASSERT_TRUE(sink->WaitFor(DataCall::kDataChange, 2, 10000));

    // Meanwhile the user adds and edits objects and runs debug scans.
    HWND tree = TreeOf(window);
    ASSERT_NE(nullptr, tree);
    const LRESULT root = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
    ASSERT_NE(0, root);
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, root);
    const size_t before = sink->Count(DataCall::kDataChange);
    const DWORD start = GetTickCount();
    Command(window, ID_ADD_OBJECT);
    Command(window, ID_EDIT_OBJECT);
    Command(window, ID_SCAN_PREPARE);
    for (int i = 0; i < 3; ++i) Command(window, ID_SCAN_SINGLE);
    Command(window, ID_SCAN_END);
    Command(window, ID_SCAN_START);
    Sleep(1000);
    Command(window, ID_SCAN_STOP);
    while (GetTickCount() - start < 2500) Sleep(50);
    EXPECT_GE(sink->Count(DataCall::kDataChange), before + 5) << "the client's data kept coming";

    const std::vector<ProbeCall> log = ReadProbeLog(probe_);
    EXPECT_EQ(1u, CountCalls(log, "DLLAddObject"));
    EXPECT_EQ(1u, CountCalls(log, "DLLEditObject"));
    // The server started the driver first; the debug scans only shared it.
    EXPECT_EQ(1u, CountCalls(log, "DLLStart"));
    EXPECT_EQ(0u, CountCalls(log, "DLLStop"));

    // Closing the window asks about the unsaved addition, then ends the process although a
    // client is still connected.
    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND question = WaitForDialogOf(id, 20000);
    ASSERT_NE(nullptr, question);
    PostMessageW(question, WM_COMMAND, IDNO, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(configurator, 30000));
    CloseHandle(configurator);
    point.Reset();
    container.Reset();
    items.Reset();
    group.state.Reset();
    server.Reset();
}

TEST_F(ConfiguratorProcess, ClosingTheWindowTellsConnectedClientsFirst) {
    ASSERT_TRUE(Run("/RegServer"));
    DWORD id = 0;
    HANDLE configurator = Start("-Configure", &id);
    ASSERT_NE(nullptr, configurator);
    HWND window = WaitForConfiguratorOf(id, 30000);
    ASSERT_NE(nullptr, window);

    LettingGoShutdownSink sink;
    ComPtr<IOPCServer> server = ConnectAs<IOPCServer>();
    ASSERT_TRUE(server);
    ASSERT_EQ(S_OK, sink.AdviseOn(server));
    server.Reset();                                      // the sink holds it until the callback
    ComPtr<IOPCServer> other = ConnectAs<IOPCServer>();  // a second server object, no sink

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(configurator, 30000)) << "the exit went on";
    CloseHandle(configurator);
    EXPECT_EQ(1, sink.calls_);
    EXPECT_EQ(L"Сервер OPC завершает работу", sink.reason_);
    sink.server_.Reset();
    other.Reset();
}

}  // namespace
