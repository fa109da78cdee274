// The link counters of every device: the workers change them as requests go out and answers
// come in, and clients see them as they stood at the driver's last update, like every other
// tag, so a diagnostics tag never changes between two reads of one update.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <map>
#include <mutex>
#include <utility>

#include "link_counters.h"

namespace modbus {

class LinkBook {
  public:
    // `change(LinkCounters&)` on the device's live counters.
    template <class Edit>
    void Change(DWORD device, Edit&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(live_[device]);
    }
    // The live counters become what clients see.
    void Publish();
    // Every count back to zero, at once for clients too; the link's state (connected, last
    // error, last good answer) stays, as it still describes the link.
    void Reset(DWORD device);
    void Forget(DWORD device);
    void ForgetAll();
    // As of the last Publish (or Reset); all zero for a device not counted yet.
    LinkCounters Shown(DWORD device) const;
    // When what clients see was taken: the diagnostics tags' timestamp.
    FILETIME ShownAt() const;

  private:
    mutable std::mutex mutex_;
    std::map<DWORD, LinkCounters> live_, shown_;
    FILETIME shownAt_{};
};

// What a connection records into: one device's counters in a book, or nowhere.
class LinkRecorder {
  public:
    LinkRecorder() = default;
    LinkRecorder(LinkBook* book, DWORD device) : book_(book), device_(device) {}
    template <class Edit>
    void operator()(Edit&& change) const {
        if (book_) book_->Change(device_, std::forward<Edit>(change));
    }

  private:
    LinkBook* book_ = nullptr;
    DWORD device_ = 0;
};

}  // namespace modbus
