// The tool's OPC DA 1.0 side: an IAdviseSink that hands every stream it receives to one
// handler (one at a time), and an RAII advise of it on a group's IDataObject for one of the
// stream formats.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <functional>
#include <mutex>
#include <vector>

#include "com_object.h"
#include "com_ptr.h"

class StreamSink final : public ComObject<StreamSink, IAdviseSink> {
  public:
    using Handler = std::function<void(CLIPFORMAT format, const std::vector<BYTE>& bytes)>;
    explicit StreamSink(Handler handler) : handler_(std::move(handler)) {}

    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    // No handler call after this returns (one under way is waited for).
    void Close() noexcept;

  private:
    std::mutex mutex_;
    Handler handler_;
};

// The clipboard format of a stream name ("OPCSTMFORMATDATATIME", ...).
CLIPFORMAT StreamFormat(const wchar_t* name);

class StreamSubscription {
  public:
    // Throws ToolError (failure) when the group has no IDataObject or refuses the advise.
    StreamSubscription(IUnknown* group, const wchar_t* formatName, StreamSink* sink);
    ~StreamSubscription();
    StreamSubscription(const StreamSubscription&) = delete;
    StreamSubscription& operator=(const StreamSubscription&) = delete;

    DWORD Connection() const { return connection_; }

  private:
    ComPtr<IDataObject> data_;
    DWORD connection_ = 0;
    ComPtr<StreamSink> sink_;
};
