// The continuation points one server object has handed out for IOPCBrowse::Browse. A point
// is an opaque random token that stands for the rest of a listing the server keeps: the
// client cannot forge one, nor make the server keep more than kMaxPoints (the oldest goes
// first, and its token is no longer valid). A point is good for one call: taking it removes
// it, and a call that still leaves elements hands out a new one.
//
// The listing is of the address space as it was when the browse began; it belongs to that
// generation of the driver lists. Once the drivers are reloaded the rest of it may name
// things that are gone, so a point of an earlier generation is refused.
#pragma once

#include <windows.h>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "branch_listing.h"
#include "driver_list.h"
#include "sync.h"

struct PendingListing {
    // What the browse asked for, which a call that resumes it must ask for again.
    std::wstring itemId;
    OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL;
    std::wstring nameFilter;
    std::weak_ptr<const DriverLists> generation;
    std::vector<BrowseElement> elements;
    size_t next = 0;  // the first element not handed out yet

    bool SameBrowse(const std::wstring& id, OPCBROWSEFILTER f, const std::wstring& names) const {
        return id == itemId && f == filter && names == nameFilter;
    }
    bool Current(const DriverSnapshot& drivers) const { return generation.lock() == drivers; }
};

class ContinuationPoints {
  public:
    static constexpr size_t kMaxPoints = 16;

    // Keeps `listing` and gives its new token. Throws std::bad_alloc.
    std::wstring Keep(PendingListing listing);
    // The listing of `token`, taken out of the table; false for a token that is not there.
    bool Take(const std::wstring& token, PendingListing& listing);

  private:
    CriticalSection lock_;
    std::deque<std::pair<std::wstring, PendingListing>> points_;  // oldest first
};
