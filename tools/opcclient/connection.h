// A connection to one OPC DA server: the server object created out of process by ProgID
// (or by a {CLSID}), and the texts of its error codes.
#pragma once

#include <windows.h>
#include <map>
#include <string>

#include "com_ptr.h"
#include "opc.h"

class Connection {
  public:
    // Throws ToolError (failure) when nothing is registered under `server` or the server
    // object cannot be created.
    explicit Connection(const std::wstring& server);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    IOPCServer* Server() const { return server_.Get(); }
    // Null when the server does not implement IOPCCommon (servers built for DA 1.0).
    IOPCCommon* Common() const { return common_.Get(); }
    const CLSID& Clsid() const { return clsid_; }
    const std::wstring& Name() const { return name_; }
    // The locale the server speaks, for groups, so that its texts and conversions match.
    LCID Locale() const;

    // The server's own text for a code (IOPCCommon, then IOPCServer), else the system's.
    // Remembered per code: a table of many items with the same error asks once.
    std::wstring ErrorText(HRESULT code);

  private:
    std::wstring name_;
    CLSID clsid_{};
    ComPtr<IOPCServer> server_;
    ComPtr<IOPCCommon> common_;
    std::map<HRESULT, std::wstring> texts_;
};
