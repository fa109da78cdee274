// The exports that keep each interface registered for the life of the server process.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <gtest/gtest.h>

#include "interface_anchors.h"
#include "server_module.h"

namespace {

TEST(InterfaceAnchors, EveryMarshalableInterfaceIsHeldWithoutKeepingTheServerAlive) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        const LONG locks = Module().LockCount();
        InterfaceAnchors anchors;
        // An interface without a proxy/stub anywhere is left out; the others are held.
        const IID unknownToCom = {0x5e1f0c11, 0x7a3d, 0x4b1e, {1, 2, 3, 4, 5, 6, 7, 8}};
        EXPECT_EQ(
            3u, anchors.Hold({IID_IUnknown, IID_IEnumString, unknownToCom, IID_IConnectionPoint}));
        EXPECT_EQ(locks, Module().LockCount()) << "a server with only anchors still ends";
        anchors.Release();
        anchors.Release();  // twice is harmless
    }
    CoUninitialize();
}

}  // namespace
