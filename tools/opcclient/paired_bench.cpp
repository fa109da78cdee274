// bench --versus: the item-call runs on two servers in turn (A, B, A, B, ...), each through a
// connection of its own kept for the whole benchmark, so that both meet the same moments of a
// busy machine. Per operation and size: the median of the ratios of A's time to B's within
// each pair, their range, and each server's median in items per second. Against a server that
// does no work this gives what A's own work costs beyond the platform's marshaling, on a
// machine too noisy for absolute figures.
#include <windows.h>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "console_output.h"
#include "item_call_runs.h"
#include "json_writer.h"
#include "text_table.h"

namespace {

struct Pairs {
    std::vector<double> ratios;  // A's time / B's time, one per pair of runs
    std::vector<double> ratesA, ratesB;
};

// Neither server is watched: reading a process's counters inside a timed call would weigh on
// the smaller of the two times.
const std::optional<ProcessMeter> kUnwatched;

}  // namespace

int RunPairedBench(const Options& options) {
    Connection a(options.arguments[0]);
    Connection b(options.versus);
    const std::wstring& item = options.arguments[1];
    // [operation][size index]
    std::vector<std::vector<Pairs>> pairs(kOperationCount,
                                          std::vector<Pairs>(options.sizes.size()));
    for (size_t s = 0; s < options.sizes.size(); ++s)
        for (unsigned run = 0; run < options.runs; ++run) {
            const RunFigures ofA = OneItemCallRun(a, kUnwatched, item, options.sizes[s]);
            const RunFigures ofB = OneItemCallRun(b, kUnwatched, item, options.sizes[s]);
            for (int op = 0; op < kOperationCount; ++op) {
                // An operation one of them skipped has no pair.
                if (ofA.rate[op] <= 0 || ofB.rate[op] <= 0) continue;
                Pairs& p = pairs[op][s];
                p.ratios.push_back(ofB.rate[op] / ofA.rate[op]);
                p.ratesA.push_back(ofA.rate[op]);
                p.ratesB.push_back(ofB.rate[op]);
            }
        }

    if (options.json) {
        JsonWriter json;
        BeginBenchJson(json, a, item);
        json.Key(L"versus");
        json.String(b.Name());
        BeginRunResults(json, options.runs);
        for (int op = 0; op < kOperationCount; ++op)
            for (size_t s = 0; s < options.sizes.size(); ++s) {
                const Pairs& p = pairs[op][s];
                if (p.ratios.empty()) continue;
                json.BeginObject();
                json.Key(L"operation");
                json.String(kOperationNames[op]);
                json.Key(L"size");
                json.Unsigned(options.sizes[s]);
                json.Key(L"time_ratio");
                json.Number(Rounded(Median(p.ratios), 0.001));
                json.Key(L"time_ratio_min");
                json.Number(Rounded(*std::min_element(p.ratios.begin(), p.ratios.end()), 0.001));
                json.Key(L"time_ratio_max");
                json.Number(Rounded(*std::max_element(p.ratios.begin(), p.ratios.end()), 0.001));
                json.Key(L"items_per_second");
                json.Number(Rounded(Median(p.ratesA), 0.1));
                json.Key(L"versus_items_per_second");
                json.Number(Rounded(Median(p.ratesB), 0.1));
                json.EndObject();
            }
        json.EndArray();
        json.EndObject();
        WriteOut(json.Text());
        return 0;
    }
    TextTable table({L"Time A / time B", L"n", L"median", L"min-max", L"A items/s", L"B items/s"});
    for (size_t column = 1; column < 6; ++column) table.AlignRight(column);
    for (int op = 0; op < kOperationCount; ++op)
        for (size_t s = 0; s < options.sizes.size(); ++s) {
            const Pairs& p = pairs[op][s];
            if (p.ratios.empty()) continue;
            table.AddRow({kOperationLabels[op], std::to_wstring(options.sizes[s]),
                          Fixed(Median(p.ratios), 2),
                          Fixed(*std::min_element(p.ratios.begin(), p.ratios.end()), 2) + L"-" +
                              Fixed(*std::max_element(p.ratios.begin(), p.ratios.end()), 2),
                          Fixed(Median(p.ratesA), 0), Fixed(Median(p.ratesB), 0)});
        }
    WriteOut(item + L": " + a.Name() + L" (A) versus " + b.Name() + L" (B), " +
             std::to_wstring(options.runs) + (options.runs == 1 ? L" pair" : L" pairs") +
             L" of runs, alternating\n" + table.Render());
    return 0;
}
