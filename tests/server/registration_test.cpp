// Registration writes exactly the server's entries and removal takes them away again,
// keeping the shared "AppID" and "CLSID" keys; the type library comes and goes with them.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>

#include "probe_driver_files.h"
#include "registration.h"
#include "server_identity.h"

namespace {

bool KeyExists(const std::string& key) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

std::string Value(const std::string& key, const char* name = nullptr) {
    char data[1024] = "";
    DWORD size = sizeof(data), type = 0;
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return "<no key>";
    LONG r = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(h);
    if (r != ERROR_SUCCESS) return "<no value>";
    return type == REG_SZ ? std::string(data) : "<not REG_SZ>";
}

const std::string kClass = std::string("CLSID\\") + kServerClsidText;
const std::string kAppId = std::string("AppID\\") + kServerAppIdText;
const std::string kTypeLib = std::string("TypeLib\\") + kServerLibIdText;
// The probe carries the same embedded type library as the server.
std::string TypeLibraryFile() {
    return TestProgramDirectory() + "\\marshal_probe.exe";
}

TEST(Registration, WritesExactlyTheServerEntries) {
    const std::string module = "C:\\PROGRA~1\\it's\\OPCSER~1.EXE";
    ASSERT_EQ(S_OK, RegisterServer(module, TypeLibraryFile()));
    EXPECT_EQ("OPCServerVEXA", Value(kAppId));
    EXPECT_EQ(kServerAppIdText, Value("AppID\\OPCServerVEXA.EXE", "AppID"));
    EXPECT_EQ("OPCServerVEXA DA OPCServer", Value("OPCServerVEXA.OPCServer.1"));
    EXPECT_EQ(kServerClsidText, Value("OPCServerVEXA.OPCServer.1\\CLSID"));
    EXPECT_EQ("OPCServerVEXA DA OPCServer", Value("OPCServerVEXA.OPCServer"));
    EXPECT_NE("<no key>", Value("OPCServerVEXA.OPCServer\\OPC\\Vendor"));
    EXPECT_EQ(kServerClsidText, Value("OPCServerVEXA.OPCServer\\CLSID"));
    EXPECT_EQ("OPCServerVEXA.OPCServer.1", Value("OPCServerVEXA.OPCServer\\CurVer"));
    EXPECT_EQ("OPCServerVEXA DA OPCServer", Value(kClass));
    EXPECT_EQ("OPCServerVEXA.OPCServer.1", Value(kClass + "\\ProgID"));
    EXPECT_EQ("OPCServerVEXA.OPCServer", Value(kClass + "\\VersionIndependentProgID"));
    EXPECT_EQ(module, Value(kClass + "\\LocalServer32"));
    EXPECT_EQ(kServerAppIdText, Value(kClass, "AppID"));
    EXPECT_EQ(kServerLibIdText, Value(kClass + "\\TypeLib"));
    EXPECT_TRUE(
        KeyExists(kClass + "\\Implemented Categories\\{63D5F430-CFE4-11d1-B2C8-0060083BA1FB}"));
    EXPECT_TRUE(
        KeyExists(kClass + "\\Implemented Categories\\{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}"));
    EXPECT_TRUE(
        KeyExists(kClass + "\\Implemented Categories\\{CC603642-66D7-48f1-B69A-B625E73652D7}"));
    EXPECT_TRUE(KeyExists(kTypeLib + "\\1.0"));

    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"OPCServerVEXA.OPCServer", &clsid));
    EXPECT_TRUE(clsid == kServerClsid);

    // A second registration replaces the class key as a whole.
    HKEY stray;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, (kClass + "\\Stray").c_str(), 0, nullptr, 0, KEY_WRITE,
                    nullptr, &stray, nullptr);
    RegCloseKey(stray);
    ASSERT_EQ(S_OK, RegisterServer(module, TypeLibraryFile()));
    EXPECT_FALSE(KeyExists(kClass + "\\Stray"));

    ASSERT_EQ(S_OK, UnregisterServer(TypeLibraryFile()));
    for (const std::string& key :
         {kAppId, std::string("AppID\\OPCServerVEXA.EXE"), std::string("OPCServerVEXA.OPCServer.1"),
          std::string("OPCServerVEXA.OPCServer"), kClass, kTypeLib + "\\1.0"})
        EXPECT_FALSE(KeyExists(key)) << key;
    EXPECT_TRUE(KeyExists("AppID"));
    EXPECT_TRUE(KeyExists("CLSID"));
    EXPECT_EQ(S_OK, UnregisterServer(TypeLibraryFile())) << "removing twice is harmless";
}

TEST(Registration, ModulePathIsTheShortFormOfTheExecutable) {
    const std::string path = ModuleRegistrationPath(nullptr);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES == GetFileAttributesA(path.c_str()), false);
    EXPECT_EQ(std::string::npos, path.find(' '));
}

}  // namespace
