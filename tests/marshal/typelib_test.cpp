// The type library embedded as resource TYPELIB 1: our LIBID and library name, our server
// class, and the OPC interfaces with the standard IIDs.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>
#include <string>

#include "com_ptr.h"
#include "opcserver.h"

namespace {

std::wstring ExecutableBeside(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

TEST(TypeLibrary, IsEmbeddedWithOurIdentityAndTheStandardInterfaces) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLibEx(ExecutableBeside(L"marshal_probe.exe").c_str(), REGKIND_NONE,
                                  library.Put()));
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    EXPECT_TRUE(attributes->guid == LIBID_OPCSERVERVEXALib);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    library->ReleaseTLibAttr(attributes);

    BSTR raw = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, &raw, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"OPCSERVERVEXALib", raw);
    SysFreeString(raw);

    ComPtr<ITypeInfo> server;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_OPCServer, server.Put()));
    TYPEATTR* type = nullptr;
    ASSERT_EQ(S_OK, server->GetTypeAttr(&type));
    EXPECT_EQ(TKIND_COCLASS, type->typekind);
    server->ReleaseTypeAttr(type);

    for (const IID* iid : {&IID_IOPCServer, &IID_IOPCCommon, &IID_IOPCItemMgt, &IID_IOPCSyncIO,
                           &IID_IOPCAsyncIO2, &IID_IOPCDataCallback, &IID_IOPCShutdown}) {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(*iid, info.Put()));
    }
}

}  // namespace
