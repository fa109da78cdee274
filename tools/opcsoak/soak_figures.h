// What one soak client counts while it runs, and the one JSON line it prints at the end: the
// soak script judges the server from these lines alone.
//
// Server calls are counted and timed one by one; callbacks arrive on the RPC layer's threads
// while the role's own thread calls, so every figure is kept under one lock.
#pragma once

#include <windows.h>
#include <mutex>
#include <string>

#include "tool_error.h"

class SoakFigures {
  public:
    SoakFigures(std::wstring role, unsigned seed) : role_(std::move(role)), seed_(seed) {}

    // One server call took `ms`; `failure` names it when it did not succeed as it must.
    void Call(const wchar_t* name, double ms, const std::wstring& failure = {});
    // A written value that did not arrive at the device (the write said it succeeded).
    void LostWrite(const std::wstring& item);
    void WritesChecked(unsigned long n);
    // A callback of subscription `rateMs`, `gapMs` after the one before (or the advise).
    void Callback(DWORD rateMs, double gapMs);
    // An asynchronous transaction and how it ended.
    void Cancelled(bool accepted);
    void MissingCompletion();

    // {"role":..., "seed":..., "calls":..., ...} and a line break.
    std::wstring Json(double seconds) const;

  private:
    mutable std::mutex mutex_;
    std::wstring role_;
    unsigned seed_;
    unsigned long long calls_ = 0, failures_ = 0;
    std::wstring firstFailure_;
    double maxLatencyMs_ = 0;
    std::wstring slowestCall_;
    unsigned long long lostWrites_ = 0, writesChecked_ = 0;
    std::wstring firstLost_;
    unsigned long long callbacks_ = 0;
    double maxGapMs_ = 0;
    DWORD gapRateMs_ = 0;  // the rate of the subscription with the longest gap
    unsigned long long cancelsAccepted_ = 0, cancelsLate_ = 0, missingCompletions_ = 0;
};

// Milliseconds since some fixed point, as a double.
double NowMs();

// Runs `call` (one server call) timed and counted in `figures`: a ToolError it throws is the
// call's failure; whatever it returns is handed back (a default value after a failure).
template <class F>
auto Timed(SoakFigures& figures, const wchar_t* name, F&& call) -> decltype(call()) {
    const double start = NowMs();
    try {
        auto result = call();
        figures.Call(name, NowMs() - start);
        return result;
    } catch (const ToolError& e) {
        figures.Call(name, NowMs() - start, e.Message());
    } catch (const std::bad_alloc&) {
        figures.Call(name, NowMs() - start, L"out of memory");
    }
    return {};
}
