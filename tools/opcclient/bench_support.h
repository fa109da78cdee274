// What the benchmarks share: a stopwatch, medians, rounding for output, and the benchmarks
// that live in files of their own.
#pragma once

#include <windows.h>
#include <algorithm>
#include <cmath>
#include <cwchar>
#include <string>
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "group.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "tool_error.h"

class Stopwatch {
  public:
    Stopwatch() { QueryPerformanceCounter(&start_); }
    double Seconds() const {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(now.QuadPart - start_.QuadPart) /
               static_cast<double>(frequency.QuadPart);
    }

  private:
    LARGE_INTEGER start_;
};

// -1 for no values.
inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    if (n == 0) return -1.0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Digits beyond the run-to-run noise only mislead.
inline double Rounded(double value, double unit) {
    return std::round(value / unit) * unit;
}

// A benchmark of items the server refused would measure nothing: the first refusal ends it.
inline void RequireAdded(Connection& connection, const std::wstring& item,
                         const std::vector<AddedItem>& added) {
    for (const AddedItem& a : added)
        if (FAILED(a.error))
            ThrowFailure(L"unknown item " + item + L": " + CodeWithName(a.error) + L" " +
                         connection.ErrorText(a.error));
}

inline std::wstring Fixed(double value, int decimals) {
    wchar_t text[48];
    swprintf(text, 48, L"%.*f", decimals, value);
    return text;
}

// Every benchmark's JSON opens with what was measured: {server, item, ...
inline void BeginBenchJson(JsonWriter& json, Connection& connection, const std::wstring& item) {
    json.BeginObject();
    json.Key(L"server");
    json.String(connection.Name());
    json.Key(L"item");
    json.String(item);
}

// ... and for the item-call benchmarks the runs, and the results array opened.
inline void BeginRunResults(JsonWriter& json, unsigned runs) {
    json.Key(L"runs");
    json.Unsigned(runs);
    json.Key(L"results");
    json.BeginArray();
}

// ... and for the cycle benchmarks the groups they held: groups, ITEMS_KEY, rate_ms.
inline void WriteGroupSetup(JsonWriter& json, DWORD groups, const wchar_t* itemsKey, DWORD items,
                            DWORD rate) {
    json.Key(L"groups");
    json.Unsigned(groups);
    json.Key(itemsKey);
    json.Unsigned(items);
    json.Key(L"rate_ms");
    json.Unsigned(rate);
}

int RunSubscribeBench(const Options& options);
int RunIdleBench(const Options& options);
int RunAddressSpaceBench(const Options& options);
int RunPairedBench(const Options& options);
