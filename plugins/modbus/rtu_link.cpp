#include "rtu_link.h"

#include <thread>

#include "rtu_frame.h"

namespace modbus {

LinkStatus RtuLink::Fail(LinkStatus status) {
    Close();
    if (status == LinkStatus::kUnreachable) backoff_.Failed();
    return status;
}

void RtuLink::KeepSilence() {
    const auto quietUntil = lastTraffic_ + std::chrono::microseconds(silenceMicros_);
    if (std::chrono::steady_clock::now() < quietUntil) std::this_thread::sleep_until(quietUntil);
}

LinkStatus RtuLink::Transact(uint8_t unit, const Bytes& request, Bytes& answer, DWORD timeoutMs) {
    if (request.empty()) return LinkStatus::kBroken;
    if (!IsOpen()) {
        if (backoff_.Waiting()) return LinkStatus::kUnreachable;
        if (!channel_->Open(timeoutMs)) return Fail(LinkStatus::kUnreachable);
        backoff_.Succeeded();
    }
    channel_->Discard();
    KeepSilence();
    if (!channel_->Send(RtuFrame(unit, request), timeoutMs)) return Fail(LinkStatus::kBroken);
    lastTraffic_ = std::chrono::steady_clock::now();

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    uint8_t frame[kMaxPduBytes + 3];
    size_t have = 0;
    size_t expected = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return have ? LinkStatus::kBadFrame : LinkStatus::kTimeout;
        DWORD wait = static_cast<DWORD>(deadline - now);
        if (have) wait = std::min(wait, kGapMs);
        // No more than the answer's length, as far as it is known, so a serial read returns
        // the moment the answer is whole.
        const size_t want = expected ? expected - have : have < 3 ? 3 - have : 1;
        const int n = channel_->Receive(frame + have, want, wait);
        if (n < 0) return Fail(LinkStatus::kBroken);
        if (n == 0) {
            if (have) break;  // silence within the frame: cut short
            continue;
        }
        lastTraffic_ = std::chrono::steady_clock::now();
        have += static_cast<size_t>(n);
        if (!expected) expected = ExpectedAnswerLength(frame, have);
        if (expected == kUnknownLength || expected > sizeof(frame)) return LinkStatus::kBadFrame;
        if (expected && have >= expected) break;
    }
    if (!expected || have < expected) return LinkStatus::kBadFrame;
    return CheckAnswer(frame, expected, unit, request[0], answer) == RtuAnswer::kOk
               ? LinkStatus::kOk
               : LinkStatus::kBadFrame;
}

}  // namespace modbus
