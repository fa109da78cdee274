#include "data_sink.h"

#include "hresult_text.h"
#include "tool_error.h"

HRESULT DataSink::Deliver(const DataCallback& callback) noexcept {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handler_) handler_(callback);
        return S_OK;
    } catch (...) {
        return E_FAIL;  // nothing may cross back into the server's call
    }
}

STDMETHODIMP DataSink::OnDataChange(DWORD transid, OPCHANDLE group, HRESULT quality, HRESULT error,
                                    DWORD count, OPCHANDLE* clients, VARIANT* values,
                                    WORD* qualities, FILETIME* timestamps, HRESULT* errors) {
    return Deliver({DataCallback::kDataChange, transid, group, quality, error, count, clients,
                    values, qualities, timestamps, errors});
}

STDMETHODIMP DataSink::OnReadComplete(DWORD transid, OPCHANDLE group, HRESULT quality,
                                      HRESULT error, DWORD count, OPCHANDLE* clients,
                                      VARIANT* values, WORD* qualities, FILETIME* timestamps,
                                      HRESULT* errors) {
    return Deliver({DataCallback::kReadComplete, transid, group, quality, error, count, clients,
                    values, qualities, timestamps, errors});
}

STDMETHODIMP DataSink::OnWriteComplete(DWORD transid, OPCHANDLE group, HRESULT error, DWORD count,
                                       OPCHANDLE* clients, HRESULT* errors) {
    return Deliver({DataCallback::kWriteComplete, transid, group, S_OK, error, count, clients,
                    nullptr, nullptr, nullptr, errors});
}

STDMETHODIMP DataSink::OnCancelComplete(DWORD transid, OPCHANDLE group) {
    return Deliver({DataCallback::kCancelComplete, transid, group});
}

void DataSink::Close() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = nullptr;
}

Subscription::Subscription(IUnknown* group, DataSink* sink) : sink_(sink) {
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = group->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(IID_IOPCDataCallback, point_.Put());
    if (FAILED(hr))
        ThrowFailure(L"the group offers no IOPCDataCallback connection point: " + CodeWithName(hr) +
                     L" (try --poll)");
    hr = point_->Advise(static_cast<IOPCDataCallback*>(sink), &cookie_);
    if (FAILED(hr)) ThrowFailure(L"the group refuses the data callback: " + CodeWithName(hr));
}

Subscription::~Subscription() {
    point_->Unadvise(cookie_);
    sink_->Close();
}
