// What the cycle scheduler (cycle_scheduler.h) asks of a group. From the group's creation to its
// destruction, while the group is active, one update cycle runs once more than the update rate
// has passed since the end of the previous one. A cycle ends when its values are taken; sending
// them to the subscribers comes after that and does not count, so a callback that takes long
// (ten thousand values through the RPC layer) does not stretch the rate at which the values are
// taken, as long as it takes less than the rate. In between the group costs nothing: no thread
// of its own, no timer while it is inactive; a change of the rate or the active flag (Wake) and
// a stop take effect at once. A cycle that could not take its locks is retried after kRetryMs.
// A group with a keep-alive time gets turns for it too, active or not.
//
// A cycle may come in two halves, so that one worker with several turns due asks every driver
// once for all of them: each cycle's first half puts its driver work into the batch, the batch
// is started, and then each cycle's second half takes its answers. On a virtual machine the
// wake-up of a driver's thread costs far more than a cycle's own work.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <memory>

// The driver work that the first halves of a batch's cycles gathered; the cycles' own type (the
// scheduler only keeps it and starts it once every first half has run).
class CycleBatch {
  public:
    virtual ~CycleBatch() = default;
    virtual void Start() noexcept = 0;
};

class UpdateCycle {
  public:
    virtual DWORD UpdateRate() const noexcept = 0;
    virtual bool Active() const noexcept = 0;
    enum class CycleStart { kEnded, kBegun, kBusy };
    // The first half of a cycle: kBegun when its work is in `batch` (made by the first cycle
    // that needs one) and EndCycle is to follow once the batch has started; kEnded when the
    // whole cycle ran here; kBusy when it could not run (its locks were busy): the next turn
    // tries again. `ended` is set to the timeGetTime() at which the values were taken, by
    // whichever half took them.
    virtual CycleStart BeginCycle(std::unique_ptr<CycleBatch>& batch, DWORD& ended) noexcept = 0;
    // Only after a kBegun, once the batch has started. A cycle that always runs whole never
    // gets one.
    virtual void EndCycle(DWORD& ended) noexcept { ended = timeGetTime(); }

    // Called on the worker thread that ran the group's last turn when Stop gave up waiting for
    // that turn: the group is freed here, never under a running cycle.
    virtual void DestroyAfterAbandonedStop() noexcept = 0;
    // At every turn, after any cycle: sends a keep-alive callback if one is due, and gives
    // the milliseconds until the next may be due (INFINITE: none ever, until Wake).
    virtual DWORD KeepAliveTurn() noexcept { return INFINITE; }

  protected:
    ~UpdateCycle() = default;
};
