// Test entry point: every test process joins the multithreaded apartment, as the server's
// own threads do.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
#ifdef OPC_TEST_QUICK_EXIT
    // Programs that showed windows now and then hang in Wine's process exit after all their
    // tests have finished; their verdict is in, so end without the exit-time clean-up.
    fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
#endif
    return result;
}
