#include "stop_signal.h"

#include <string>

#include "hresult_text.h"
#include "tool_error.h"

namespace {

// The console's handler is a plain function: it finds the event here.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    SetEvent(g_stop);
    return TRUE;
}

}  // namespace

StopSignal::StopSignal() {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_stop)
        ThrowFailure(L"cannot create an event: " +
                     DescribeFailure(HRESULT_FROM_WIN32(GetLastError())));
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopSignal::~StopSignal() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    CloseHandle(g_stop);
    g_stop = nullptr;
}

bool StopSignal::Wait(DWORD ms) const {
    return WaitForSingleObject(g_stop, ms) == WAIT_OBJECT_0;
}

void StopSignal::Set() const noexcept {
    SetEvent(g_stop);
}
