#include "continuation_points.h"

#include <objbase.h>

#include <new>

std::wstring ContinuationPoints::Keep(PendingListing listing) {
    // A version 4 GUID is 122 random bits from the system's generator: not to be guessed.
    GUID random;
    if (FAILED(CoCreateGuid(&random))) throw std::bad_alloc();
    wchar_t text[40];
    if (!StringFromGUID2(random, text, 40)) throw std::bad_alloc();
    std::wstring token(text);
    std::pair<std::wstring, PendingListing> dropped;
    {
        CriticalSectionLock lock(lock_);
        if (points_.size() >= kMaxPoints) {
            dropped = std::move(points_.front());  // freed after the lock
            points_.pop_front();
        }
        points_.emplace_back(token, std::move(listing));
    }
    return token;
}

bool ContinuationPoints::Take(const std::wstring& token, PendingListing& listing) {
    CriticalSectionLock lock(lock_);
    for (auto it = points_.begin(); it != points_.end(); ++it) {
        if (it->first != token) continue;
        listing = std::move(it->second);
        points_.erase(it);
        return true;
    }
    return false;
}
