// OPCServerVEXA.exe: the OPC DA server (started by COM or by hand) and its registration.
#include <windows.h>

#include "command_line.h"
#include "server_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CServerApp app;
    int result = 0;
    if (app.InitInstance(ArgumentsOf(GetCommandLineA()))) result = app.Run();
    app.ExitInstance();
    return result;
}
