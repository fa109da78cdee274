#include "shutdown_sink.h"

STDMETHODIMP ShutdownSink::ShutdownRequest(LPCWSTR reason) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handler_) handler_(reason ? reason : L"");
        return S_OK;
    } catch (...) {
        return E_FAIL;  // nothing may cross back into the server's call
    }
}

void ShutdownSink::Close() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = nullptr;
}

ShutdownWatch::ShutdownWatch(IUnknown* server, ShutdownSink* sink) : sink_(sink) {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(server->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) ||
        FAILED(container->FindConnectionPoint(IID_IOPCShutdown, point_.Put())) ||
        FAILED(point_->Advise(static_cast<IOPCShutdown*>(sink), &cookie_))) {
        point_.Reset();
        cookie_ = 0;
    }
}

ShutdownWatch::~ShutdownWatch() {
    // A server that has announced its end may be gone already: the unadvise then fails.
    if (point_) point_->Unadvise(cookie_);
    sink_->Close();
}
