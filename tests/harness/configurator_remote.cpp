// Works the configurator window of another process the way a script needs it for pictures
// (with --desktop=NAME first, on that Wine desktop rather than the default one):
//   configurator_remote wait                    until the window is there (30 s at most)
//   configurator_remote place WIDTH HEIGHT      moves it to the desktop's corner, sized
//   configurator_remote select 0.1.2            expands and selects a tree node by positions
//   configurator_remote command ID              sends a command, waits for it to finish
//   configurator_remote post ID                 posts a command (one that opens a dialog)
//   configurator_remote cancel-dialogs          cancels the dialogs the window's process shows
// Exit code 0 on success, 1 when the window or the node is not found.
#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "top_level_windows.h"

namespace {

HWND Configurator() {
    return FindWindowW(nullptr, L"OPC Server Configurator");
}

HWND TreeOf(HWND frame) {
    for (HWND child = GetWindow(frame, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        for (HWND form = GetWindow(child, GW_CHILD); form; form = GetWindow(form, GW_HWNDNEXT))
            if (HWND tree = GetDlgItem(form, 201)) return tree;
    return nullptr;
}

LRESULT Next(HWND tree, UINT how, LRESULT from) {
    return SendMessageW(tree, TVM_GETNEXTITEM, how, from);
}

bool Select(HWND frame, const std::string& path) {
    HWND tree = TreeOf(frame);
    if (!tree) return false;
    LRESULT node = 0;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t dot = path.find('.', start);
        int index = std::atoi(path.substr(start, dot - start).c_str());
        LRESULT child = node ? Next(tree, TVGN_CHILD, node) : Next(tree, TVGN_ROOT, 0);
        while (child && index-- > 0) child = Next(tree, TVGN_NEXT, child);
        if (!child) return false;
        if (node) SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, node);
        node = child;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, node);
    return true;
}

void CancelDialogs(HWND frame) {
    DWORD process = 0;
    GetWindowThreadProcessId(frame, &process);
    for (HWND h : TopLevelWindows()) {
        DWORD owner = 0;
        wchar_t kind[32] = L"";
        GetWindowThreadProcessId(h, &owner);
        GetClassNameW(h, kind, 32);
        if (owner == process && wcscmp(kind, L"#32770") == 0)
            PostMessageW(h, WM_COMMAND, IDCANCEL, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: configurator_remote wait|place|select|command|post|cancel-dialogs\n");
        return 2;
    }
    const std::string desktopSwitch = "--desktop=";
    if (std::string(argv[1]).rfind(desktopSwitch, 0) == 0) {
        const std::string name = std::string(argv[1]).substr(desktopSwitch.size());
        // The desktop comes with its first program: give it time to appear.
        HDESK desktop = nullptr;
        for (int i = 0; i < 300 && !(desktop = OpenDesktopA(name.c_str(), 0, FALSE, GENERIC_ALL));
             ++i)
            Sleep(100);
        if (!desktop || !SetThreadDesktop(desktop)) {
            std::fprintf(stderr, "configurator_remote: no desktop %s\n", name.c_str());
            return 1;
        }
        --argc;
        ++argv;
        if (argc < 2) return 2;
    }
    const std::string verb = argv[1];
    HWND frame = Configurator();
    if (verb == "wait")
        for (int i = 0; i < 300 && !frame; ++i, frame = Configurator()) Sleep(100);
    if (!frame) {
        std::fprintf(stderr, "configurator_remote: no configurator window\n");
        return 1;
    }
    if (verb == "place" && argc == 4) {
        SetWindowPos(frame, HWND_TOP, 0, 0, std::atoi(argv[2]), std::atoi(argv[3]), SWP_SHOWWINDOW);
    } else if (verb == "select" && argc == 3) {
        if (!Select(frame, argv[2])) {
            std::fprintf(stderr, "configurator_remote: no node %s\n", argv[2]);
            return 1;
        }
    } else if (verb == "command" && argc == 3) {
        SendMessageW(frame, WM_COMMAND, MAKEWPARAM(std::atoi(argv[2]), 0), 0);
    } else if (verb == "post" && argc == 3) {
        PostMessageW(frame, WM_COMMAND, MAKEWPARAM(std::atoi(argv[2]), 0), 0);
    } else if (verb == "cancel-dialogs") {
        CancelDialogs(frame);
    } else if (verb != "wait") {
        std::fprintf(stderr, "configurator_remote: bad arguments\n");
        return 2;
    }
    return 0;
}
