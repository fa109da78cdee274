// Keeps Wine's desktop process alive for a whole test run. Wine ends the desktop when no
// program has a window on it, and the next program that shows one starts it again, passing
// on its own stdio: a test runner then waits for that desktop until the test times out. This
// hidden window lives until the wineserver is stopped at the end of the run.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WNDCLASSA kind{};
    kind.lpfnWndProc = DefWindowProcA;
    kind.hInstance = instance;
    kind.lpszClassName = "OPCTestDesktopKeeper";
    RegisterClassA(&kind);
    CreateWindowA(kind.lpszClassName, "", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, instance,
                  nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}
