// The driver work of one group call or cycle, done without any group lock: the items' tags
// are taken under the item mutex (TagRef), the drivers are asked with one task per driver,
// all begun before any is waited for, and the answers go back to the items under the mutex
// again. So a driver that does not answer costs its callers one wait of at most the limit,
// and never holds up the group's other calls or its cycle meanwhile; the other drivers'
// tags are served as usual.
#pragma once

#include <windows.h>
#include <memory>
#include <optional>
#include <vector>

#include "driver.h"
#include "driver_list.h"
#include "opc.h"
#include "update_cycle.h"

// One tag of one driver; a null driver for an item bound to nothing.
struct TagRef {
    std::shared_ptr<CDriver> driver;
    DWORD tag = 0;
};

// Asks every loaded driver that answers for one fresh update (a scan of all drivers), shared
// with an update already under way, and waits for none.
void RefreshEveryDriver() noexcept;

// The readings of `tags`, in their order. With `refreshFirst` (a read from the device) every
// driver is refreshed, and each driver concerned reads its tags once its fresh update is
// there. All of it within one wait limit of the calling thread: a driver that has not
// answered by then (or is unresponsive already) gives CDriver::UnansweredReading for its
// tags. A null driver gives an empty reading. Throws std::bad_alloc.
std::vector<CDriver::TagReading> ReadTags(const std::vector<TagRef>& tags, bool refreshFirst);

// One driver's share of an update cycle: its tags, and the change numbers the items hold
// (0: none). CycleReads gives the news: `changedAt` lists the positions of the tags that
// changed, with their readings in `readings`, and `versions` their numbers now. A driver that
// says what changed (DLLReadChangedTags) gives only its changed tags; any other, and one that
// did not answer, every tag (with version 0).
struct CycleShare {
    std::shared_ptr<CDriver> driver;
    std::vector<DWORD> ids;
    std::vector<DWORD> versions;
    std::vector<DWORD> changedAt;
    std::vector<CDriver::TagReading> readings;
};
// What is left of one wait limit of the calling thread, from its making.
class DriverDeadline {
  public:
    DriverDeadline() noexcept : start_(GetTickCount64()), limit_(CDriver::WaitLimit()) {}
    DWORD Left() const noexcept {
        const ULONGLONG spent = GetTickCount64() - start_;
        return spent >= limit_ ? 0 : static_cast<DWORD>(limit_ - spent);
    }

  private:
    const ULONGLONG start_;
    const DWORD limit_;
};

// The reads of several update cycles, each driver asked once for all of them: one task per
// driver, so that a batch of cycles wakes a driver's thread once and not once per cycle. Every
// cycle Adds its shares, the batch Starts, then every cycle Takes its answers, all within one
// wait limit of the thread that started the batch; a driver that does not answer by then gives
// every cycle of the batch every tag with an unanswered reading.
class CycleReads final : public CycleBatch {
  public:
    CycleReads() = default;
    CycleReads(const CycleReads&) = delete;
    CycleReads& operator=(const CycleReads&) = delete;
    // Queues the reading of `shares` (copies of their tags and numbers); the ticket for Take.
    // Throws std::bad_alloc.
    size_t Add(const std::vector<CycleShare>& shares);
    void Start() noexcept override;
    // The news of the shares added under `ticket`, into those same shares.
    void Take(size_t ticket, std::vector<CycleShare>& shares) noexcept;

  private:
    struct Request {
        size_t task;                                  // its driver's, in tasks_
        std::vector<DWORD> ids, versions, changedAt;  // versions: asked with, then answered
        std::vector<CDriver::TagReading> readings;
        void Answer(CDriver& driver);  // on the driver's thread
    };
    struct DriverTask {
        std::shared_ptr<CDriver> driver;
        std::vector<std::shared_ptr<Request>> requests;
        DriverCall<bool> call;
    };
    std::vector<std::shared_ptr<Request>> requests_;
    std::vector<DriverTask> tasks_;
    std::optional<DriverDeadline> deadline_;  // from Start
};

// Hands `values[i]` (in the tag's type) to `tags[i]`; true where the driver took it. A null
// driver takes everything; a driver that did not answer in time took nothing (what it does
// later is its own). The values come back from the drivers that answered, for the caches;
// the others are left empty. With `refreshAfter` every driver is refreshed, and each driver
// written answers once its fresh update is there. Throws std::bad_alloc.
std::vector<bool> WriteTags(const std::vector<TagRef>& tags, std::vector<Variant>& values,
                            bool refreshAfter = false);

// What the drivers know of the tags that item identifiers name.
struct TagLookup {
    std::shared_ptr<CDriver> driver;  // null: no driver of that name (or no '.')
    DWORD tag = 0;                    // 0: the driver knows no such object
    CDriver::TagFacts facts;
    bool answered = true;  // false: the driver did not answer in time
};
// Looks up every identifier, with one task per driver. Throws std::bad_alloc.
std::vector<TagLookup> LookUpTags(const DriverLists& drivers, const OPCITEMDEF* defs, DWORD count);
