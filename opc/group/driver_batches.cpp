#include "driver_batches.h"

#include <string>
#include <utility>

#include "ansi_text.h"
#include "driver_list.h"

namespace {

// The positions of one driver's entries, in the order they came.
struct DriverShare {
    std::shared_ptr<CDriver> driver;
    std::vector<size_t> positions;
};

// Entries with a null driver are left out. Calls of one group name few drivers, and
// neighbours mostly share theirs.
template <class DriverOf>
std::vector<DriverShare> SplitByDriver(size_t count, DriverOf&& driverOf) {
    std::vector<DriverShare> shares;
    size_t last = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::shared_ptr<CDriver>& driver = driverOf(i);
        if (!driver) continue;
        if (shares.empty() || shares[last].driver != driver) {
            last = 0;
            while (last < shares.size() && shares[last].driver != driver) ++last;
            if (last == shares.size()) shares.push_back(DriverShare{driver, {}});
        }
        shares[last].positions.push_back(i);
    }
    return shares;
}

// Begins `work(driver, positions)` for every share, then collects what came back in time.
template <class R, class Work, class Take, class Miss>
void AskEveryDriver(std::vector<DriverShare>& shares, const DriverDeadline& deadline, Work&& work,
                    Take&& take, Miss&& miss) {
    std::vector<DriverCall<R>> calls;
    calls.reserve(shares.size());
    for (DriverShare& share : shares) calls.push_back(share.driver->Begin<R>(work(share)));
    for (size_t s = 0; s < shares.size(); ++s) {
        if (calls[s].Wait(deadline.Left()))
            take(shares[s], calls[s].Result());
        else
            miss(shares[s]);
    }
}

}  // namespace

std::vector<CDriver::TagReading> ReadTags(const std::vector<TagRef>& tags, bool refreshFirst) {
    std::vector<CDriver::TagReading> readings(tags.size());
    std::vector<DriverShare> shares = SplitByDriver(
        tags.size(), [&](size_t i) -> const auto& { return tags[i].driver; });
    if (refreshFirst) RefreshEveryDriver();
    const DriverDeadline deadline;
    using Readings = std::vector<CDriver::TagReading>;
    AskEveryDriver<Readings>(
        shares, deadline,
        [&](const DriverShare& share) {
            std::vector<DWORD> ids(share.positions.size());
            for (size_t k = 0; k < ids.size(); ++k) ids[k] = tags[share.positions[k]].tag;
            return [ids = std::move(ids), refreshFirst](CDriver& driver) {
                // Within the driver's own work, so that a driver whose update does not come
                // holds up only the reading of its own tags.
                if (refreshFirst) driver.Update(0);
                // An update that never came makes the driver unresponsive meanwhile: its
                // tags' values are not fresh, whatever it would answer.
                if (driver.IsUnresponsive())
                    return Readings(ids.size(), CDriver::UnansweredReading());
                Readings got(ids.size());
                for (size_t k = 0; k < ids.size(); ++k) driver.ReadTag(ids[k], got[k]);
                return got;
            };
        },
        [&](const DriverShare& share, Readings& got) {
            for (size_t k = 0; k < got.size(); ++k)
                readings[share.positions[k]] = std::move(got[k]);
        },
        [&](const DriverShare& share) {
            const CDriver::TagReading unanswered = CDriver::UnansweredReading();
            for (size_t position : share.positions) readings[position] = unanswered;
        });
    return readings;
}

namespace {

// Every tag with news of its own (version 0: read in full next time too).
void EveryTag(size_t count, std::vector<DWORD>& versions, std::vector<DWORD>& at) {
    versions.assign(count, 0);
    at.resize(count);
    for (size_t k = 0; k < count; ++k) at[k] = static_cast<DWORD>(k);
}

}  // namespace

// A driver that cannot say what changed gives every tag; one that does not answer has no fresh
// values to give (see ReadTags).
void CycleReads::Request::Answer(CDriver& d) {
    if (d.ReadChangedTags(ids, versions, changedAt, readings)) return;
    EveryTag(ids.size(), versions, changedAt);
    if (d.IsUnresponsive()) {
        readings.assign(ids.size(), CDriver::UnansweredReading());
        return;
    }
    readings.resize(ids.size());
    for (size_t k = 0; k < ids.size(); ++k) d.ReadTag(ids[k], readings[k]);
}

size_t CycleReads::Add(const std::vector<CycleShare>& shares) {
    const size_t ticket = requests_.size();
    for (const CycleShare& share : shares) {
        size_t task = 0;
        while (task < tasks_.size() && tasks_[task].driver != share.driver) ++task;
        if (task == tasks_.size()) tasks_.push_back(DriverTask{share.driver, {}, {}});
        // Copies: a task that outlives the wait must not touch the cycle's vectors.
        auto request = std::make_shared<Request>();
        request->task = task;
        request->ids = share.ids;
        request->versions = share.versions;
        requests_.push_back(request);
        tasks_[task].requests.push_back(std::move(request));
    }
    return ticket;
}

void CycleReads::Start() noexcept {
    deadline_.emplace();
    for (DriverTask& task : tasks_)
        task.call = task.driver->Begin<bool>([requests = task.requests](CDriver& driver) {
            for (const std::shared_ptr<Request>& request : requests) request->Answer(driver);
            return true;
        });
}

void CycleReads::Take(size_t ticket, std::vector<CycleShare>& shares) noexcept {
    for (size_t s = 0; s < shares.size() && ticket + s < requests_.size(); ++s) {
        CycleShare& mine = shares[s];
        Request& request = *requests_[ticket + s];
        if (deadline_ && tasks_[request.task].call.Wait(deadline_->Left())) {
            mine.versions.swap(request.versions);
            mine.changedAt.swap(request.changedAt);
            mine.readings.swap(request.readings);
        } else {
            try {
                EveryTag(mine.ids.size(), mine.versions, mine.changedAt);
                mine.readings.assign(mine.ids.size(), CDriver::UnansweredReading());
            } catch (...) {
                // No memory: no news at all, which the cycle reports as nothing new.
                mine.changedAt.clear();
                mine.readings.clear();
            }
        }
    }
}

void RefreshEveryDriver() noexcept {
    const DriverSnapshot drivers = g_drivers.Snapshot();
    for (const auto& driver : drivers->drivers)
        if (!driver->IsUnresponsive()) driver->BeginRefresh();
}

std::vector<bool> WriteTags(const std::vector<TagRef>& tags, std::vector<Variant>& values,
                            bool refreshAfter) {
    if (refreshAfter) RefreshEveryDriver();
    std::vector<bool> taken(tags.size(), false);
    for (size_t i = 0; i < tags.size(); ++i) taken[i] = !tags[i].driver;
    std::vector<DriverShare> shares = SplitByDriver(
        tags.size(), [&](size_t i) -> const auto& { return tags[i].driver; });
    // The task owns its values while it runs (a caller that stops waiting leaves them to
    // it) and gives them back with its answers.
    struct Answers {
        std::vector<bool> taken;
        std::vector<Variant> values;
    };
    AskEveryDriver<Answers>(
        shares, DriverDeadline(),
        [&](const DriverShare& share) {
            std::vector<DWORD> ids(share.positions.size());
            std::vector<Variant> mine(share.positions.size());
            for (size_t k = 0; k < ids.size(); ++k) {
                ids[k] = tags[share.positions[k]].tag;
                mine[k].Swap(values[share.positions[k]]);
            }
            return [ids = std::move(ids), mine = std::move(mine), refreshAfter](CDriver& driver) {
                Answers got{driver.WriteValues(ids, mine), std::move(mine)};
                if (refreshAfter) driver.Update(0);
                return got;
            };
        },
        [&](const DriverShare& share, Answers& got) {
            for (size_t k = 0; k < got.taken.size(); ++k) {
                taken[share.positions[k]] = got.taken[k];
                values[share.positions[k]].Swap(got.values[k]);
            }
        },
        [](const DriverShare&) {});
    return taken;
}

std::vector<TagLookup> LookUpTags(const DriverLists& drivers, const OPCITEMDEF* defs, DWORD count) {
    std::vector<TagLookup> found(count);
    std::vector<std::string> paths(count);
    for (DWORD i = 0; i < count; ++i) {
        const std::string id = WideToAnsi(defs[i].szItemID);
        const size_t dot = id.find('.');
        if (dot == std::string::npos) continue;
        found[i].driver = drivers.Find(std::string_view(id).substr(0, dot));
        if (found[i].driver) paths[i] = id.substr(dot + 1);
    }
    std::vector<DriverShare> shares = SplitByDriver(
        count, [&](size_t i) -> const auto& { return found[i].driver; });
    using Answers = std::vector<std::pair<DWORD, CDriver::TagFacts>>;
    AskEveryDriver<Answers>(
        shares, DriverDeadline(),
        [&](const DriverShare& share) {
            std::vector<std::string> names;
            names.reserve(share.positions.size());
            for (size_t position : share.positions) names.push_back(std::move(paths[position]));
            return [names = std::move(names)](CDriver& driver) {
                Answers got(names.size());
                for (size_t k = 0; k < names.size(); ++k) {
                    got[k].first = driver.GetObjectID(0, names[k].c_str());
                    if (got[k].first) got[k].second = driver.GetTagFacts(got[k].first);
                }
                return got;
            };
        },
        [&](const DriverShare& share, Answers& got) {
            for (size_t k = 0; k < got.size(); ++k) {
                found[share.positions[k]].tag = got[k].first;
                found[share.positions[k]].facts = got[k].second;
            }
        },
        [&](const DriverShare& share) {
            for (size_t position : share.positions) found[position].answered = false;
        });
    return found;
}
