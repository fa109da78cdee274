// The tool's IOPCShutdown: a server that announces its end stops whatever waits for it, with
// the reason it gave, instead of leaving the tool waiting for callbacks that never come.
#pragma once

#include <windows.h>
#include <functional>
#include <mutex>
#include <string>

#include "com_object.h"
#include "com_ptr.h"
#include "opc.h"

class ShutdownSink final : public ComObject<ShutdownSink, IOPCShutdown> {
  public:
    using Handler = std::function<void(const std::wstring& reason)>;
    explicit ShutdownSink(Handler handler) : handler_(std::move(handler)) {}

    STDMETHODIMP ShutdownRequest(LPCWSTR reason) override;
    // No handler call after this returns.
    void Close() noexcept;

  private:
    std::mutex mutex_;
    Handler handler_;
};

// `sink` advised on the server's IOPCShutdown connection point for this object's life. A
// server without the point (one built for DA 1.0) is watched without it.
class ShutdownWatch {
  public:
    ShutdownWatch(IUnknown* server, ShutdownSink* sink);
    ~ShutdownWatch();
    ShutdownWatch(const ShutdownWatch&) = delete;
    ShutdownWatch& operator=(const ShutdownWatch&) = delete;

  private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    ComPtr<ShutdownSink> sink_;
};
