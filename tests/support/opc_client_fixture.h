// Tests that talk to the real server as an OPC client does: one installation registered per
// test suite, a server object per test, created in the local server process through our
// proxies.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <string>

#include "com_ptr.h"
#include "opc.h"
#include "server_installation.h"

struct AddedGroup {
    HRESULT hr = E_FAIL;
    OPCHANDLE handle = 0;
    DWORD revisedRate = 0;
    ComPtr<IOPCGroupStateMgt> state;
};

inline AddedGroup AddGroupTo(IOPCServer* server, const wchar_t* name, DWORD rate = 1000,
                             BOOL active = TRUE, LONG* bias = nullptr, FLOAT* deadband = nullptr) {
    AddedGroup g;
    IUnknown* unk = nullptr;
    g.hr = server->AddGroup(name, active, rate, 77, bias, deadband, 1049, &g.handle, &g.revisedRate,
                            IID_IOPCGroupStateMgt, &unk);
    g.state = ComPtr<IOPCGroupStateMgt>::Attach(static_cast<IOPCGroupStateMgt*>(unk));
    return g;
}

struct GroupState {
    DWORD rate = 0;
    BOOL active = FALSE;
    std::wstring name;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE client = 0, server = 0;
    HRESULT hr = E_FAIL;
};

inline GroupState StateOf(IOPCGroupStateMgt* group) {
    GroupState s;
    LPWSTR name = nullptr;
    s.hr = group->GetState(&s.rate, &s.active, &name, &s.bias, &s.deadband, &s.lcid, &s.client,
                           &s.server);
    if (name) s.name = name;
    CoTaskMemFree(name);
    return s;
}

class OpcClientTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        install_ = new ServerInstallation();
        registered_ = install_->Run("/RegServer");
    }
    static void TearDownTestSuite() {
        delete install_;
        install_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(registered_);
        server_ = install_->ConnectAs<IOPCServer>();
        ASSERT_TRUE(server_);
    }
    template <class I>
    ComPtr<I> Another() {
        return install_->ConnectAs<I>();
    }

    inline static ServerInstallation* install_ = nullptr;
    inline static bool registered_ = false;
    ComPtr<IOPCServer> server_;
};
