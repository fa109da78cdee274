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

// One task per driver with every tag's sum, all begun before any is waited for, within one
// wait limit: a driver that does not answer keeps the counts it had (they are a display aid,
// never a reason to hold up a client).
void ClientCountBatch::Commit() noexcept {
    // Sorting brings the changes of one tag together; a call naming one tag many times is
    // already in order.
    auto before = [](const Change& a, const Change& b) {
        return a.driver != b.driver ? std::less<CDriver*>()(a.driver.get(), b.driver.get())
                                    : a.tag < b.tag;
    };
    try {
        if (!std::is_sorted(changes_.begin(), changes_.end(), before))
            std::sort(changes_.begin(), changes_.end(), before);
        using Sums = std::vector<std::pair<DWORD, LONG>>;
        std::vector<DriverCall<bool>> calls;
        for (size_t i = 0; i < changes_.size();) {
            const std::shared_ptr<CDriver>& driver = changes_[i].driver;
            Sums sums;
            while (i < changes_.size() && changes_[i].driver == driver) {
                LONGLONG sum = 0;
                const DWORD tag = changes_[i].tag;
                for (;
                     i < changes_.size() && changes_[i].driver == driver && changes_[i].tag == tag;
                     ++i)
                    sum += changes_[i].delta;
                // A call holds at most a million items, so the sum fits.
                sums.emplace_back(tag, static_cast<LONG>(sum));
            }
            calls.push_back(driver->Begin<bool>([sums = std::move(sums)](CDriver& d) {
                for (const auto& [tag, delta] : sums) d.ChangeClientCount(tag, delta);
                return true;
            }));
        }
        const ULONGLONG start = GetTickCount64();
        const DWORD limit = CDriver::WaitLimit();
        for (DriverCall<bool>& call : calls) {
            const ULONGLONG spent = GetTickCount64() - start;
            call.Wait(spent >= limit ? 0 : static_cast<DWORD>(limit - spent));
        }
    } catch (...) {
        // Out of memory while gathering the sums: those counts stay as they are.
    }
    changes_.clear();
}
