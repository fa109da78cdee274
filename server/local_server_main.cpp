#include "local_server_main.h"

#include <windows.h>
#include <objbase.h>

int RunLocalServerMain(int (*registration)(StartupRequest::Registration),
                       int (*serve)(bool startedByCom)) {
    // No configurator here: "true" lets its switches fall through like unknown ones.
    const StartupRequest request = ParseCommandLine(ArgumentsOf(GetCommandLineA()), true);
    const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const int result = request.registration != StartupRequest::Registration::None
                           ? registration(request.registration)
                           : serve(request.embedding);
    if (com) CoUninitialize();
    return result;
}
