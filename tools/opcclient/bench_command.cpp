// bench: throughput of the item and synchronous IO calls through the real out-of-process
// server, for several numbers of items per call; the median of the runs, in items per second.
#include <windows.h>
#include <algorithm>
#include <cmath>
#include <cwchar>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "group.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "text_table.h"
#include "tool_error.h"

namespace {

enum Operation { kAddItems, kReadCache, kReadDevice, kWrite, kRemoveItems, kOperationCount };

constexpr const wchar_t* kOperationNames[kOperationCount] = {
    L"add_items", L"read_cache", L"read_device", L"write", L"remove_items"};
constexpr const wchar_t* kOperationLabels[kOperationCount] = {
    L"AddItems", L"Read (cache)", L"Read (device)", L"Write", L"RemoveItems"};

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

// A benchmark of failing calls would measure the error path; stop at the first item error.
void CheckAll(Connection& connection, const wchar_t* call, const std::wstring& item,
              const std::vector<HRESULT>& errors) {
    for (HRESULT e : errors)
        if (FAILED(e))
            ThrowFailure(std::wstring(call) + L" of " + item + L" failed: " + CodeWithName(e) +
                         L" " + connection.ErrorText(e));
}

// Items per second of each operation in one run; -1 where the operation was not measured.
std::vector<double> OneRun(Connection& connection, const std::wstring& item, DWORD size) {
    std::vector<double> rate(kOperationCount, -1.0);
    const double n = static_cast<double>(size);
    Group group(connection, false, 1000);
    const std::vector<std::wstring> ids(size, item);

    Stopwatch add;
    const std::vector<AddedItem> added = group.AddItems(ids);
    rate[kAddItems] = n / add.Seconds();
    std::vector<HRESULT> errors;
    std::vector<OPCHANDLE> handles;
    for (const AddedItem& a : added) {
        errors.push_back(a.error);
        handles.push_back(a.server);
    }
    if (!added.empty() && FAILED(added[0].error))
        ThrowFailure(L"unknown item " + item + L": " + CodeWithName(added[0].error) + L" " +
                     connection.ErrorText(added[0].error));
    CheckAll(connection, L"AddItems", item, errors);

    Stopwatch cache;
    std::vector<ItemState> states = group.Read(OPC_DS_CACHE, handles);
    rate[kReadCache] = n / cache.Seconds();
    errors.clear();
    for (const ItemState& s : states) errors.push_back(s.error);
    CheckAll(connection, L"Read", item, errors);

    Stopwatch device;
    states = group.Read(OPC_DS_DEVICE, handles);
    rate[kReadDevice] = n / device.Seconds();
    errors.clear();
    for (const ItemState& s : states) errors.push_back(s.error);
    CheckAll(connection, L"Read", item, errors);

    // Writing back what was read changes nothing on the device.
    if (added[0].accessRights & OPC_WRITEABLE) {
        std::vector<VARIANT> values;
        for (const ItemState& s : states) values.push_back(*s.value.Get());
        Stopwatch write;
        errors = group.Write(handles, values);
        rate[kWrite] = n / write.Seconds();
        CheckAll(connection, L"Write", item, errors);
    }

    Stopwatch remove;
    errors = group.RemoveItems(handles);
    rate[kRemoveItems] = n / remove.Seconds();
    CheckAll(connection, L"RemoveItems", item, errors);
    return rate;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    if (n == 0) return -1.0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring Cell(double rate) {
    if (rate < 0) return L"-";
    wchar_t text[32];
    swprintf(text, 32, L"%.0f", rate);
    return text;
}

int RunBench(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& item = options.arguments[1];
    // medians[operation][size index]
    std::vector<std::vector<double>> medians(kOperationCount);
    for (DWORD size : options.sizes) {
        std::vector<std::vector<double>> runs(kOperationCount);
        for (unsigned run = 0; run < options.runs; ++run) {
            const std::vector<double> rate = OneRun(connection, item, size);
            for (int op = 0; op < kOperationCount; ++op)
                if (rate[op] >= 0) runs[op].push_back(rate[op]);
        }
        for (int op = 0; op < kOperationCount; ++op) medians[op].push_back(Median(runs[op]));
    }

    if (options.json) {
        JsonWriter json;
        json.BeginObject();
        json.Key(L"server");
        json.String(connection.Name());
        json.Key(L"item");
        json.String(item);
        json.Key(L"runs");
        json.Unsigned(options.runs);
        json.Key(L"results");
        json.BeginArray();
        for (int op = 0; op < kOperationCount; ++op)
            for (size_t s = 0; s < options.sizes.size(); ++s) {
                if (medians[op][s] < 0) continue;
                json.BeginObject();
                json.Key(L"operation");
                json.String(kOperationNames[op]);
                json.Key(L"size");
                json.Unsigned(options.sizes[s]);
                json.Key(L"items_per_second");
                // Tenths are more than the run-to-run noise; more digits only mislead.
                json.Number(std::round(medians[op][s] * 10) / 10);
                json.EndObject();
            }
        json.EndArray();
        json.EndObject();
        WriteOut(json.Text());
        return 0;
    }
    std::vector<std::wstring> headers{L"Items per second"};
    for (DWORD size : options.sizes) headers.push_back(L"n=" + std::to_wstring(size));
    TextTable table(headers);
    for (size_t s = 0; s < options.sizes.size(); ++s) table.AlignRight(s + 1);
    for (int op = 0; op < kOperationCount; ++op) {
        std::vector<std::wstring> row{kOperationLabels[op]};
        for (double rate : medians[op]) row.push_back(Cell(rate));
        table.AddRow(row);
    }
    WriteOut(item + L" on " + connection.Name() + L", median of " + std::to_wstring(options.runs) +
             (options.runs == 1 ? L" run" : L" runs") + L"\n" + table.Render());
    return 0;
}

}  // namespace

const Command kBenchCommand{
    L"bench",
    L"bench PROGID ITEM [--sizes 100,1000,10000] [--runs N] [--json]",
    L"measure items per second of AddItems, Read, Write and RemoveItems",
    L"For each size n, adds a fresh group and times AddItems of n definitions naming ITEM,\n"
    L"a cache Read and a device Read of all n, a Write of the values read (so nothing\n"
    L"changes; skipped for a read-only item) and RemoveItems of all n. Prints the median\n"
    L"of the runs in items per second.\n"
    L"  --sizes LIST   comma-separated item counts (default 100,1000,10000)\n"
    L"  --runs N       runs per size (default 5)\n"
    L"  --json         {server, item, runs, results: [{operation, size, items_per_second}]}\n",
    kOptJson | kOptSizes | kOptRuns,
    2,
    2,
    RunBench};
