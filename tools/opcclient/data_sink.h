// The tool's IOPCDataCallback: hands every callback the server makes to one handler, one
// callback at a time (they arrive on the RPC layer's threads), and an RAII advise of it on a
// group's connection point.
#pragma once

#include <windows.h>
#include <functional>
#include <mutex>

#include "com_object.h"
#include "com_ptr.h"
#include "opc.h"

// One callback as received; the arrays are lent for the handler's call only.
struct DataCallback {
    enum Kind { kDataChange, kReadComplete, kWriteComplete, kCancelComplete };
    Kind kind = kDataChange;
    DWORD transaction = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK, masterError = S_OK;
    DWORD count = 0;
    const OPCHANDLE* clients = nullptr;
    const VARIANT* values = nullptr;  // null for a write's outcome
    const WORD* qualities = nullptr;
    const FILETIME* timestamps = nullptr;
    const HRESULT* errors = nullptr;
};

class DataSink final : public ComObject<DataSink, IOPCDataCallback> {
  public:
    using Handler = std::function<void(const DataCallback&)>;
    explicit DataSink(Handler handler) : handler_(std::move(handler)) {}

    STDMETHODIMP OnDataChange(DWORD transid, OPCHANDLE group, HRESULT quality, HRESULT error,
                              DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                              FILETIME* timestamps, HRESULT* errors) override;
    STDMETHODIMP OnReadComplete(DWORD transid, OPCHANDLE group, HRESULT quality, HRESULT error,
                                DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                FILETIME* timestamps, HRESULT* errors) override;
    STDMETHODIMP OnWriteComplete(DWORD transid, OPCHANDLE group, HRESULT error, DWORD count,
                                 OPCHANDLE* clients, HRESULT* errors) override;
    STDMETHODIMP OnCancelComplete(DWORD transid, OPCHANDLE group) override;

    // No handler call after this returns (one under way is waited for): what the handler
    // uses may go, even if the server still calls.
    void Close() noexcept;

  private:
    HRESULT Deliver(const DataCallback& callback) noexcept;

    std::mutex mutex_;
    Handler handler_;
};

// `sink` advised on the group's IOPCDataCallback connection point for this object's life;
// the sink is closed when it ends.
class Subscription {
  public:
    // Throws ToolError (failure) when the group has no such point or refuses the sink.
    Subscription(IUnknown* group, DataSink* sink);
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

  private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    ComPtr<DataSink> sink_;
};
