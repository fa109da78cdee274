#include "soak_figures.h"

#include "json_writer.h"

double NowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void SoakFigures::Call(const wchar_t* name, double ms, const std::wstring& failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_;
    if (ms > maxLatencyMs_) {
        maxLatencyMs_ = ms;
        slowestCall_ = name;
    }
    if (failure.empty()) return;
    if (failures_++ == 0) firstFailure_ = std::wstring(name) + L": " + failure;
}

void SoakFigures::LostWrite(const std::wstring& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lostWrites_++ == 0) firstLost_ = item;
}

void SoakFigures::WritesChecked(unsigned long n) {
    std::lock_guard<std::mutex> lock(mutex_);
    writesChecked_ += n;
}

void SoakFigures::Callback(DWORD rateMs, double gapMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++callbacks_;
    // Gaps of subscriptions of different rates compare by their share of the rate.
    if (!gapRateMs_ || gapMs / rateMs > maxGapMs_ / gapRateMs_) {
        maxGapMs_ = gapMs;
        gapRateMs_ = rateMs;
    }
}

void SoakFigures::Cancelled(bool accepted) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(accepted ? cancelsAccepted_ : cancelsLate_);
}

void SoakFigures::MissingCompletion() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++missingCompletions_;
}

std::wstring SoakFigures::Json(double seconds) const {
    std::lock_guard<std::mutex> lock(mutex_);
    JsonWriter json(JsonWriter::Layout::kOneLine);
    json.BeginObject();
    json.Key(L"role");
    json.String(role_);
    json.Key(L"seed");
    json.Unsigned(seed_);
    json.Key(L"seconds");
    json.Number(seconds);
    json.Key(L"calls");
    json.Unsigned(calls_);
    json.Key(L"failures");
    json.Unsigned(failures_);
    json.Key(L"first_failure");
    json.String(firstFailure_);
    json.Key(L"max_latency_ms");
    json.Number(maxLatencyMs_);
    json.Key(L"slowest_call");
    json.String(slowestCall_);
    json.Key(L"writes_checked");
    json.Unsigned(writesChecked_);
    json.Key(L"lost_writes");
    json.Unsigned(lostWrites_);
    json.Key(L"first_lost");
    json.String(firstLost_);
    json.Key(L"callbacks");
    json.Unsigned(callbacks_);
    json.Key(L"max_gap_ms");
    json.Number(maxGapMs_);
    json.Key(L"gap_rate_ms");
    json.Unsigned(gapRateMs_);
    json.Key(L"cancels_accepted");
    json.Unsigned(cancelsAccepted_);
    json.Key(L"cancels_late");
    json.Unsigned(cancelsLate_);
    json.Key(L"missing_completions");
    json.Unsigned(missingCompletions_);
    json.EndObject();
    return json.Text();
}
