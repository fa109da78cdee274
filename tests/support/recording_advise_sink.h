// An IAdviseSink for OPC DA 1.0 tests and clients: it keeps a copy of every stream it receives
// (the format and the bytes) and lets a test wait for them.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "com_object.h"

struct ReceivedStream {
    CLIPFORMAT format = 0;
    std::vector<BYTE> bytes;
    DWORD tick = 0;
};

class RecordingAdviseSink final : public ComObject<RecordingAdviseSink, IAdviseSink> {
  public:
    STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
        ReceivedStream r;
        r.format = format ? format->cfFormat : 0;
        r.tick = GetTickCount();
        if (medium && medium->tymed == TYMED_HGLOBAL && medium->hGlobal) {
            const SIZE_T size = GlobalSize(medium->hGlobal);
            const void* data = GlobalLock(medium->hGlobal);
            if (data)
                r.bytes.assign(static_cast<const BYTE*>(data),
                               static_cast<const BYTE*>(data) + size);
            GlobalUnlock(medium->hGlobal);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streams_.push_back(std::move(r));
        }
        changed_.notify_all();
    }
    STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
    STDMETHODIMP_(void) OnRename(IMoniker*) override {}
    STDMETHODIMP_(void) OnSave() override {}
    STDMETHODIMP_(void) OnClose() override {}

    std::vector<ReceivedStream> Streams() {
        std::lock_guard<std::mutex> lock(mutex_);
        return streams_;
    }
    bool WaitFor(size_t count, DWORD ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return streams_.size() >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedStream> streams_;
};
