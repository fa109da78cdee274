#include "link_book.h"

namespace modbus {

void LinkBook::Publish() {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_ = live_;
    GetSystemTimeAsFileTime(&shownAt_);
}

void LinkBook::Reset(DWORD device) {
    std::lock_guard<std::mutex> lock(mutex_);
    LinkCounters& live = live_[device];
    LinkCounters fresh;
    fresh.connected = live.connected;
    fresh.lastError = live.lastError;
    fresh.lastGoodAnswer = live.lastGoodAnswer;
    live = fresh;
    shown_[device] = fresh;
    GetSystemTimeAsFileTime(&shownAt_);
}

void LinkBook::Forget(DWORD device) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(device);
    shown_.erase(device);
}

void LinkBook::ForgetAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.clear();
    shown_.clear();
}

LinkCounters LinkBook::Shown(DWORD device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = shown_.find(device);
    return p == shown_.end() ? LinkCounters{} : p->second;
}

FILETIME LinkBook::ShownAt() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shownAt_;
}

}  // namespace modbus
