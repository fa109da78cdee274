#include "stream_sink.h"

#include <cstring>

#include "hresult_text.h"
#include "tool_error.h"

void StreamSink::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
    if (!format || !medium || medium->tymed != TYMED_HGLOBAL || !medium->hGlobal) return;
    try {
        std::vector<BYTE> bytes(GlobalSize(medium->hGlobal));
        if (const void* data = GlobalLock(medium->hGlobal)) {
            memcpy(bytes.data(), data, bytes.size());
            GlobalUnlock(medium->hGlobal);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (handler_) handler_(format->cfFormat, bytes);
    } catch (...) {
        // Nothing may cross back into the server's call.
    }
}

void StreamSink::Close() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = nullptr;
}

CLIPFORMAT StreamFormat(const wchar_t* name) {
    return static_cast<CLIPFORMAT>(RegisterClipboardFormatW(name));
}

StreamSubscription::StreamSubscription(IUnknown* group, const wchar_t* formatName, StreamSink* sink)
    : sink_(sink) {
    HRESULT hr = group->QueryInterface(IID_IDataObject, data_.PutVoid());
    if (FAILED(hr)) ThrowFailure(L"the group offers no IDataObject: " + CodeWithName(hr));
    FORMATETC format{StreamFormat(formatName), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    hr = data_->DAdvise(&format, 0, sink, &connection_);
    if (FAILED(hr)) ThrowFailure(L"the group refuses the advise: " + CodeWithName(hr));
}

StreamSubscription::~StreamSubscription() {
    data_->DUnadvise(connection_);
    sink_->Close();
}
