#include "device_poller.h"

#include <algorithm>

#include "request_plan.h"

namespace modbus {

namespace {

// Exceptions that say the tag's address or request does not fit the device; the others say
// the device (or a gateway before it) cannot answer now.
bool RefusesTheRequest(uint8_t exception) {
    return exception >= 1 && exception <= 3;
}

constexpr WORD kQualityDeviceFailure = 0x0C;

Reading Failed(DWORD tag, WORD quality) {
    Reading r;
    r.tag = tag;
    r.quality = quality;
    r.keepValue = true;
    return r;
}

// An exception answer is an answer, but not a good one: the device could not do what was asked.
void CountAnswer(LinkCounters& c, const Bytes& answer, uint32_t roundTripMs) {
    ++c.answers;
    c.lastRoundTripMs = roundTripMs;
    if (answer.size() >= 2 && (answer[0] & 0x80) != 0) {
        const uint8_t code = answer[1];
        ++c.exceptions[code < c.exceptions.size() ? code : 0];
        c.lastError = L"Устройство ответило исключением " + std::to_wstring(code) + L".";
    } else {
        GetSystemTimeAsFileTime(&c.lastGoodAnswer);
        c.lastError.clear();  // the link is well again
    }
}

}  // namespace

DevicePoller::DevicePoller(Model& model, DWORD device, LinkBook* links)
    : model_(model), device_(device), links_(links) {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

DevicePoller::~DevicePoller() {
    if (thread_) CloseHandle(thread_);
    if (wake_) CloseHandle(wake_);
    if (stop_) CloseHandle(stop_);
}

bool DevicePoller::Start() {
    if (!stop_ || !wake_ || thread_) return false;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&DevicePoller::ThreadProc), &module))
        return false;
    auto* self = new (std::nothrow) std::shared_ptr<DevicePoller>(shared_from_this());
    if (self) thread_ = CreateThread(nullptr, 0, ThreadProc, self, 0, nullptr);
    if (!thread_) {
        delete self;
        FreeLibrary(module);
        return false;
    }
    return true;
}

DWORD WINAPI DevicePoller::ThreadProc(void* parameter) {
    auto* self = static_cast<std::shared_ptr<DevicePoller>*>(parameter);
    try {
        (*self)->Run();
    } catch (...) {
        // The worker ends; its tags keep what they last showed.
    }
    delete self;
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&DevicePoller::ThreadProc), &module);
    FreeLibraryAndExitThread(module, 0);
}

void DevicePoller::Stop() {
    if (stop_) SetEvent(stop_);
}

bool DevicePoller::WaitEnded(DWORD ms) const {
    return !thread_ || WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0;
}

void DevicePoller::EnsureConnection(const DeviceSettings& d) {
    connected_ = d;
    std::string key = LinkKey(d);
    if (link_ && key == linkKey_) return;
    link_ = AcquireLink(d);
    linkKey_ = std::move(key);
}

LinkStatus DevicePoller::Transact(const Bytes& request, Bytes& answer) {
    LinkStatus status;
    bool wasOpen, open;
    ULONGLONG started;
    {
        std::lock_guard<std::mutex> lock(link_->lock);
        // A worker told to end gives up its turn on a link that others may be waiting for.
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return LinkStatus::kUnreachable;
        wasOpen = link_->link->IsOpen();
        started = GetTickCount64();  // the round trip, not the wait for the turn
        status = link_->link->Transact(connected_.unit, request, answer, connected_.timeoutMs);
        open = link_->link->IsOpen();
    }
    // A device that joins a link others keep open did not reconnect it; one that finds it
    // open again after it had failed did.
    const bool reconnected = !wasOpen && open && everOpen_;
    everOpen_ = everOpen_ || open;
    const auto roundTrip = static_cast<uint32_t>(GetTickCount64() - started);
    Record([&](LinkCounters& c) {
        if (status != LinkStatus::kUnreachable) ++c.requests;  // else nothing went out
        if (reconnected) ++c.reconnects;
        c.connected = open;
        switch (status) {
            case LinkStatus::kOk:
                CountAnswer(c, answer, roundTrip);
                break;
            case LinkStatus::kTimeout:
                ++c.timeouts;
                c.lastError = L"Устройство не ответило за время ожидания.";
                break;
            case LinkStatus::kBadFrame:
                ++c.frameErrors;
                c.lastError = L"Ответ искажён: неверная контрольная сумма, адрес или длина.";
                break;
            case LinkStatus::kBroken:
                c.lastError = L"Устройство закрыло соединение или прислало не Modbus.";
                break;
            case LinkStatus::kUnreachable:
                c.lastError = L"Нет соединения с устройством.";
                break;
        }
    });
    return status;
}

void DevicePoller::Run() {
    for (;;) {
        const std::optional<PollPlan> plan = model_.PlanOf(device_);
        if (!plan) break;  // the device was removed
        EnsureConnection(plan->device);
        retries_ = plan->device.retries;
        const ULONGLONG due = GetTickCount64() + plan->device.pollMs;
        Poll(*plan);
        bool stopped = WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
        while (!stopped) {
            const ULONGLONG now = GetTickCount64();
            if (now >= due) break;
            const HANDLE events[] = {stop_, wake_};
            const DWORD woke =
                WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(due - now));
            if (woke == WAIT_OBJECT_0 + 1)
                RunWrites();
            else if (woke == WAIT_OBJECT_0)
                stopped = true;
            else
                break;
        }
        if (stopped) break;
    }
    // Nobody waits for writes this worker will never send.
    std::lock_guard<std::mutex> lock(writesLock_);
    for (auto& job : writes_) SetEvent(job->done);
    writes_.clear();
}

LinkStatus DevicePoller::Ask(const Bytes& request, Bytes& answer, uint8_t retries) {
    LinkStatus status = LinkStatus::kUnreachable;
    for (unsigned attempt = 0; attempt <= retries; ++attempt) {
        status = Transact(request, answer);
        if (status == LinkStatus::kOk || status == LinkStatus::kUnreachable ||
            WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0)
            break;
    }
    return status;
}

void DevicePoller::Poll(const PollPlan& plan) {
    std::vector<Reading> out;
    bool away = false;
    for (Table table :
         {Table::kCoil, Table::kDiscreteInput, Table::kInputRegister, Table::kHoldingRegister}) {
        std::vector<const PolledTag*> merged;
        std::vector<Span> spans;
        for (const PolledTag& tag : plan.tags) {
            if (tag.settings.table != table) continue;
            if (tag.alone) {
                ReadTogether(table, {&tag}, tag.settings.address, TagSpan(tag.settings), out, away);
            } else {
                merged.push_back(&tag);
                spans.push_back(Span{tag.settings.address, TagSpan(tag.settings)});
            }
        }
        for (const PlannedRead& read : PlanReads(table, spans, kMaxGap)) {
            std::vector<const PolledTag*> tags;
            for (size_t i : read.tags) tags.push_back(merged[i]);
            ReadTogether(table, tags, read.address, read.count, out, away);
        }
    }
    model_.Post(plan.generation, std::move(out));
    model_.SetAway(device_, away);
}

void DevicePoller::ReadTogether(Table table, const std::vector<const PolledTag*>& tags,
                                uint16_t address, uint16_t count, std::vector<Reading>& out,
                                bool& away) {
    // Once the device has not answered, the rest of this poll would only wait for it again.
    if (!away && WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) away = true;
    if (away) {
        for (const PolledTag* t : tags) out.push_back(Failed(t->id, kQualityCommFailure));
        return;
    }
    RunWrites();
    Bytes pdu;
    const LinkStatus status = Ask(ReadRequest(table, address, count), pdu, retries_);
    Answer answer;
    if (status == LinkStatus::kOk) answer = ParseReadAnswer(pdu, table, count);
    if (status != LinkStatus::kOk || answer.kind == Answer::Kind::kMalformed) {
        if (status == LinkStatus::kOk)
            Record([](LinkCounters& c) {
                ++c.frameErrors;
                c.lastError = L"Ответ устройства не разобран.";
            });
        // A TCP stream out of step is started afresh; an RTU line needs no such thing, and
        // other devices on it are still answering.
        if (connected_.transport == Transport::kTcp) {
            std::lock_guard<std::mutex> lock(link_->lock);
            link_->link->Close();
        }
        away = true;
        for (const PolledTag* t : tags) out.push_back(Failed(t->id, kQualityCommFailure));
        return;
    }
    if (answer.kind == Answer::Kind::kException) {
        if (RefusesTheRequest(answer.exception) && tags.size() > 1) {
            // Which tag the device refuses shows only when each asks alone; from now on the
            // refused one is read on its own and the others are merged again.
            for (const PolledTag* t : tags) {
                std::vector<Reading> alone;
                ReadTogether(table, {t}, t->settings.address, TagSpan(t->settings), alone, away);
                for (Reading& r : alone) {
                    if (r.quality == kQualityConfigError) model_.ReadAlone(t->id);
                    out.push_back(std::move(r));
                }
            }
            return;
        }
        const WORD quality = RefusesTheRequest(answer.exception) ? kQualityConfigError
                             : answer.exception == 4             ? kQualityDeviceFailure
                                                                 : kQualityCommFailure;
        for (const PolledTag* t : tags) out.push_back(Failed(t->id, quality));
        return;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (const PolledTag* t : tags) {
        Reading r;
        r.tag = t->id;
        r.timestamp = now;
        const size_t offset = t->settings.address - address;
        const bool decoded =
            IsBitTable(table)
                ? offset < answer.bits.size() && DecodeBit(answer.bits[offset], r.value.get())
                : offset < answer.registers.size() &&
                      DecodeRegisters(t->settings.encoding, answer.registers.data() + offset,
                                      answer.registers.size() - offset, r.value.get());
        if (!decoded) r = Failed(t->id, kQualityConfigError);
        out.push_back(std::move(r));
    }
}

void DevicePoller::RunWrites() {
    for (;;) {
        std::shared_ptr<WriteJob> job;
        {
            std::lock_guard<std::mutex> lock(writesLock_);
            if (writes_.empty()) return;
            job = writes_.front();
            writes_.pop_front();
            job->started = true;
        }
        Bytes pdu;
        // Not repeated: a write whose answer was lost may have been carried out.
        if (Transact(job->request, pdu) == LinkStatus::kOk)
            job->confirmed = ParseWriteAnswer(pdu, job->request).kind == Answer::Kind::kOk;
        SetEvent(job->done);
    }
}

bool DevicePoller::Write(const Bytes& request, DWORD timeoutMs) {
    if (Ended()) return false;
    auto job = std::make_shared<WriteJob>();
    job->request = request;
    job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!job->done) return false;
    {
        std::lock_guard<std::mutex> lock(writesLock_);
        writes_.push_back(job);
    }
    SetEvent(wake_);
    if (WaitForSingleObject(job->done, timeoutMs) == WAIT_OBJECT_0) return job->confirmed;
    {
        std::lock_guard<std::mutex> lock(writesLock_);
        if (!job->started) {
            auto queued = std::find(writes_.begin(), writes_.end(), job);
            if (queued != writes_.end()) writes_.erase(queued);
            return false;
        }
    }
    return WaitForSingleObject(job->done, timeoutMs) == WAIT_OBJECT_0 && job->confirmed;
}

}  // namespace modbus
