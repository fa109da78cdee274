// The module lock count and the shutdown monitor. Timing is checked only from below (the
// process must not end early); upper bounds are generous, as these machines are shared.
#include <gtest/gtest.h>

#include "class_factory.h"
#include "server_module.h"

namespace {

constexpr DWORD kGrace = 400;

// Waits up to `ms` for WM_QUIT on this thread; returns the tick when it came, or 0.
DWORD WaitForQuit(DWORD ms) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms) {
        if (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return GetTickCount();
        Sleep(5);
    }
    return 0;
}

class Monitor : public testing::Test {
  protected:
    void SetUp() override {
        MSG msg;
        PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // make the queue
        module_.SetMainThreadId(GetCurrentThreadId());
        ASSERT_TRUE(module_.StartMonitor(kGrace));
    }
    void TearDown() override { module_.StopMonitor(); }
    CServerModule module_;
};

TEST_F(Monitor, ProcessWithoutClientsNeverEndsByItself) {
    EXPECT_EQ(0u, WaitForQuit(3 * kGrace));
}

TEST_F(Monitor, LastReleaseEndsTheProcessAfterTheGracePeriod) {
    module_.Lock();
    EXPECT_EQ(0, module_.Unlock());
    const DWORD released = GetTickCount();
    // (Whether the release is still pending here depends on how soon the monitor thread
    // ran: a busy machine lets it take it up at once. ModuleWithoutMonitor covers the flag.)
    const DWORD quit = WaitForQuit(20000);
    ASSERT_NE(0u, quit);
    EXPECT_GE(quit - released, kGrace - 50);
}

TEST_F(Monitor, ActivityWithinTheGracePeriodExtendsIt) {
    DWORD lastRelease = 0;
    for (int i = 0; i < 4; ++i) {
        module_.Lock();
        module_.Unlock();
        lastRelease = GetTickCount();
        Sleep(kGrace / 2);
    }
    const DWORD quit = WaitForQuit(20000);
    ASSERT_NE(0u, quit);
    EXPECT_GE(quit - lastRelease, kGrace - 50);
}

TEST_F(Monitor, ALockHeldWhenTheGraceEndsKeepsTheProcess) {
    module_.Lock();
    module_.Unlock();
    module_.Lock();
    EXPECT_EQ(0u, WaitForQuit(3 * kGrace));
    module_.Unlock();
    EXPECT_NE(0u, WaitForQuit(20000));
}

// A process COM started for a client that never came ends like one whose last client left.
TEST_F(Monitor, AGracePeriodStartedWithoutAnyClientEndsTheProcess) {
    module_.StartGracePeriod();
    const DWORD started = GetTickCount();
    const DWORD quit = WaitForQuit(20000);
    ASSERT_NE(0u, quit);
    EXPECT_GE(quit - started, kGrace - 50);
}

TEST_F(Monitor, AClientArrivingInThatGracePeriodKeepsTheProcess) {
    module_.StartGracePeriod();
    module_.Lock();
    EXPECT_EQ(0u, WaitForQuit(3 * kGrace));
    module_.Unlock();
    EXPECT_NE(0u, WaitForQuit(20000));
}

class Nothing final : public IUnknown {
  public:
    static HRESULT CreateInstance(IUnknown*, REFIID, void**) { return E_NOTIMPL; }
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

TEST_F(Monitor, ClassObjectsAreRevokedBeforeTheProcessEnds) {
    // {5C0D7E52-4F7A-4C34-9C5B-6A1E2D3F4A5B}: a class of this test only.
    const CLSID clsid = {
        0x5C0D7E52, 0x4F7A, 0x4C34, {0x9C, 0x5B, 0x6A, 0x1E, 0x2D, 0x3F, 0x4A, 0x5B}};
    IClassFactory* factory = ClassFactory<Nothing>::New();
    ASSERT_EQ(S_OK, module_.RegisterClassObject(clsid, factory, REGCLS_MULTIPLEUSE));
    factory->Release();
    EXPECT_EQ(1u, module_.RegisteredClassCount());
    module_.Lock();
    module_.Unlock();
    ASSERT_NE(0u, WaitForQuit(20000));
    EXPECT_EQ(0u, module_.RegisteredClassCount());
}

TEST(ModuleWithoutMonitor, WaitForPendingActivityNeverBlocks) {
    CServerModule module;
    module.Lock();
    module.Unlock();
    EXPECT_TRUE(module.ActivityPending());
    module.WaitForPendingActivity();  // no monitor to clear the flag: must return
    module.StopMonitor();
}

}  // namespace
