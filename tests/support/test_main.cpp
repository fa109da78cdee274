// Test entry point: every test process joins the multithreaded apartment, as the server's
// own threads do.
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
