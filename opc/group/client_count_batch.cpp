#include "client_count_batch.h"

#include <algorithm>

ClientCountBatch::ClientCountBatch(size_t changes) {
    changes_.reserve(changes);
}

ClientCountBatch::~ClientCountBatch() {
    Commit();
}

bool ClientCountBatch::Add(std::shared_ptr<CDriver> driver, DWORD tag, LONG delta) noexcept {
    if (changes_.size() == changes_.capacity()) return false;
    changes_.push_back(Change{std::move(driver), tag, delta});
    return true;
}

void ClientCountBatch::Commit() noexcept {
    // Sorting brings the changes of one tag together; a call naming one tag many times is
    // already in order.
    auto before = [](const Change& a, const Change& b) {
        return a.driver != b.driver ? std::less<CDriver*>()(a.driver.get(), b.driver.get())
                                    : a.tag < b.tag;
    };
    if (!std::is_sorted(changes_.begin(), changes_.end(), before))
        std::sort(changes_.begin(), changes_.end(), before);
    for (size_t i = 0; i < changes_.size();) {
        LONGLONG sum = 0;
        size_t j = i;
        for (; j < changes_.size() && changes_[j].driver == changes_[i].driver &&
               changes_[j].tag == changes_[i].tag;
             ++j)
            sum += changes_[j].delta;
        // A call holds at most a million items, so the sum fits.
        try {
            changes_[i].driver->ChangeClientCount(changes_[i].tag, static_cast<LONG>(sum));
        } catch (...) {
            // Out of memory while copying the record: that count stays as it is.
        }
        i = j;
    }
    changes_.clear();
}
