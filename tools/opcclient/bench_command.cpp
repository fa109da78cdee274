// bench: throughput of the item and synchronous IO calls through the real out-of-process
// server, for several numbers of items per call; the median of the runs, in items per second,
// and what each call cost the server process itself (CPU time per item) and its memory.
#include <windows.h>
#include <algorithm>
#include <cmath>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "commands.h"
#include "connection.h"
#include "console_output.h"
#include "item_call_runs.h"
#include "json_writer.h"
#include "process_meter.h"
#include "text_table.h"
#include "tool_error.h"

namespace {

std::wstring Cell(double rate) {
    return rate < 0 ? L"-" : Fixed(rate, 0);
}

std::wstring Megabytes(uint64_t bytes) {
    return Fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 1) + L" MB";
}

std::wstring Microseconds(double us) {
    return us < 0 ? L"-" : Fixed(us, 2);
}

int RunItemCallBench(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& item = options.arguments[1];
    const std::optional<ProcessMeter> meter = ProcessMeter::ForServer(connection.Clsid());
    // [operation][size index]
    std::vector<std::vector<double>> rates(kOperationCount), cpus(kOperationCount);
    ProcessUsage afterFirstRun, atEnd;
    bool watched = false;  // afterFirstRun is set
    for (DWORD size : options.sizes) {
        std::vector<std::vector<double>> runRates(kOperationCount), runCpus(kOperationCount);
        for (unsigned run = 0; run < options.runs; ++run) {
            const RunFigures figures = OneItemCallRun(connection, meter, item, size);
            if (meter && !watched) {
                afterFirstRun = meter->Read();
                watched = true;
            }
            for (int op = 0; op < kOperationCount; ++op) {
                if (figures.rate[op] >= 0) runRates[op].push_back(figures.rate[op]);
                if (figures.cpu[op] >= 0) runCpus[op].push_back(figures.cpu[op]);
            }
        }
        for (int op = 0; op < kOperationCount; ++op) {
            rates[op].push_back(Median(runRates[op]));
            cpus[op].push_back(Median(runCpus[op]));
        }
    }
    if (watched) atEnd = meter->Read();

    if (options.json) {
        JsonWriter json;
        BeginBenchJson(json, connection, item);
        BeginRunResults(json, options.runs);
        for (int op = 0; op < kOperationCount; ++op)
            for (size_t s = 0; s < options.sizes.size(); ++s) {
                if (rates[op][s] < 0) continue;
                json.BeginObject();
                json.Key(L"operation");
                json.String(kOperationNames[op]);
                json.Key(L"size");
                json.Unsigned(options.sizes[s]);
                json.Key(L"items_per_second");
                // Tenths are more than the run-to-run noise; more digits only mislead.
                json.Number(Rounded(rates[op][s], 0.1));
                if (cpus[op][s] >= 0) {
                    json.Key(L"server_cpu_us_per_item");
                    json.Number(Rounded(cpus[op][s], 0.001));
                }
                json.EndObject();
            }
        json.EndArray();
        if (watched) {
            json.Key(L"server_memory");
            json.BeginObject();
            json.Key(L"after_first_run");
            json.Unsigned(afterFirstRun.memoryBytes);
            json.Key(L"after_last_run");
            json.Unsigned(atEnd.memoryBytes);
            json.Key(L"peak");
            json.Unsigned(atEnd.peakMemoryBytes);
            json.EndObject();
        }
        json.EndObject();
        WriteOut(json.Text());
        return 0;
    }
    auto render = [&](const wchar_t* title, const std::vector<std::vector<double>>& figures,
                      std::wstring (*cell)(double)) {
        std::vector<std::wstring> headers{title};
        for (DWORD size : options.sizes) headers.push_back(L"n=" + std::to_wstring(size));
        TextTable table(headers);
        for (size_t s = 0; s < options.sizes.size(); ++s) table.AlignRight(s + 1);
        for (int op = 0; op < kOperationCount; ++op) {
            std::vector<std::wstring> row{kOperationLabels[op]};
            for (double figure : figures[op]) row.push_back(cell(figure));
            table.AddRow(row);
        }
        return table.Render();
    };
    std::wstring text = item + L" on " + connection.Name() + L", median of " +
                        std::to_wstring(options.runs) + (options.runs == 1 ? L" run" : L" runs") +
                        L"\n" + render(L"Items per second", rates, Cell);
    if (watched) {
        text += L"\n" + render(L"Server CPU us/item", cpus, Microseconds);
        text += L"\nServer memory: " + Megabytes(afterFirstRun.memoryBytes) +
                L" after the first run, " + Megabytes(atEnd.memoryBytes) +
                L" after the last, peak " + Megabytes(atEnd.peakMemoryBytes) + L"\n";
    } else {
        text += L"\n(the server process could not be watched: no CPU or memory figures)\n";
    }
    WriteOut(text);
    return 0;
}

int RunBench(const Options& options) {
    const int modes = options.subscribe + options.idle + options.browse + options.properties;
    if (modes > 1)
        ThrowUsage(L"--subscribe, --idle, --browse and --properties are four benchmarks");
    const bool cycles = options.subscribe || options.idle;
    const bool names = options.browse || options.properties;
    const unsigned cycleOptions = kOptGroups | kOptItems | kOptSeconds | kOptRate;
    if (cycles && (options.given & (kOptSizes | kOptRuns)))
        ThrowUsage(L"--sizes and --runs do not apply to --subscribe and --idle");
    if (!cycles && (options.given & cycleOptions))
        ThrowUsage(L"--groups, --items, --seconds and --rate need --subscribe or --idle");
    if (names && (options.given & kOptSizes))
        ThrowUsage(L"--sizes does not apply to --browse and --properties");
    if ((options.given & kOptChange) && !options.subscribe)
        ThrowUsage(L"--change needs --subscribe");
    if (options.da3 && !options.browse) ThrowUsage(L"--da3 needs --browse");
    if ((options.given & kOptVersus) && (cycles || names))
        ThrowUsage(L"--versus applies to the item calls only");
    if (options.subscribe) return RunSubscribeBench(options);
    if (options.idle) return RunIdleBench(options);
    if (names) return RunAddressSpaceBench(options);
    if (options.given & kOptVersus) return RunPairedBench(options);
    return RunItemCallBench(options);
}

}  // namespace

const Command kBenchCommand{
    L"bench",
    L"bench PROGID ITEM [--sizes 100,1000,10000] [--runs N] [--json]\n"
    L"       opcclient bench PROGID ITEM --versus PROGID2 [--sizes LIST] [--runs N] [--json]\n"
    L"       opcclient bench PROGID ITEM --subscribe [--groups G] [--items N] [--rate MS]\n"
    L"                       [--seconds S] [--json]\n"
    L"       opcclient bench PROGID BRANCH --subscribe --change P[%] [--groups G]\n"
    L"                       [--items N] [--rate MS] [--seconds S] [--json]\n"
    L"       opcclient bench PROGID ITEM --idle [--groups G] [--items N] [--rate MS]\n"
    L"                       [--seconds S] [--json]\n"
    L"       opcclient bench PROGID BRANCH --browse [--da3] [--runs N] [--json]\n"
    L"       opcclient bench PROGID ITEM --properties [--runs N] [--json]",
    L"measure item calls, subscriptions and the server's idle cost",
    L"Item calls (the default): for each size n, adds a fresh group and times AddItems\n"
    L"of n definitions naming ITEM,\n"
    L"a cache Read and a device Read of all n, a Write of the values read (so nothing\n"
    L"changes; skipped for a read-only item) and RemoveItems of all n. Prints the median\n"
    L"of the runs in items per second and, when the server process can be watched on this\n"
    L"machine, the server's own CPU time per item for each operation and its memory after\n"
    L"the first and the last run (many runs show whether it grows) and at its peak.\n"
    L"  --sizes LIST   comma-separated item counts (default 100,1000,10000)\n"
    L"  --runs N       runs per size (default 5)\n"
    L"  --json         {server, item, runs, results: [{operation, size, items_per_second,\n"
    L"                 server_cpu_us_per_item}], server_memory: {after_first_run,\n"
    L"                 after_last_run, peak}} (bytes)\n"
    L"\n"
    L"--versus PROGID2: the same runs on PROGID (A) and PROGID2 (B) in turn, A, B, A, B,\n"
    L"each server through one connection for the whole benchmark, neither watched. Prints\n"
    L"per operation and size the median of the ratios of A's time to B's within each pair\n"
    L"of runs, their least and greatest, and both medians in items per second; an\n"
    L"operation either server skipped is left out. Against opcnullserver\n"
    L"(OPCNullServer.Bench.1), which does no work, the ratio is what A's own work adds.\n"
    L"  --json         {server, item, versus, runs, results: [{operation, size, time_ratio,\n"
    L"                 time_ratio_min, time_ratio_max, items_per_second,\n"
    L"                 versus_items_per_second}]}\n"
    L"\n"
    L"--subscribe: G groups (default 4) of N items (default 10000) naming ITEM at rate MS\n"
    L"(default 250), each with a data callback, for S seconds (default 10). Prints the\n"
    L"values and callbacks delivered per second, the median and maximum interval between\n"
    L"two callbacks of one group, and the CPU time of the server, of the wineserver\n"
    L"(under Wine) and of this client, per delivered value and as a share of one core.\n"
    L"  --change P     the items are the leaves of BRANCH named T... (browsed, in name\n"
    L"                 order, at most N of them; all groups the same), of which the\n"
    L"                 server's driver changes P percent (0 to 100) per update: P is\n"
    L"                 written to BRANCH's ChangePercent item before the run and 0 after\n"
    L"                 it, also when it fails or Ctrl+C stops it (the probe driver's\n"
    L"                 bench= branch is such a branch). Also prints the values\n"
    L"                 delivered per callback of a group, and the CPU time of the server\n"
    L"                 and the wineserver per callback, per cycle the groups owed (S x\n"
    L"                 1000 / MS each; a cycle where nothing changed may bring no\n"
    L"                 callback) and per second. With N below the branch's size the\n"
    L"                 share of the items changing varies from cycle to cycle.\n"
    L"  --json         {server, item, groups, items_per_group, rate_ms, seconds,\n"
    L"                 values_per_second, callbacks_per_second, median_interval_ms,\n"
    L"                 max_interval_ms, server_cpu, wineserver_cpu, client_cpu:\n"
    L"                 {us_per_value, percent_of_core}}; with --change also\n"
    L"                 change_percent, values_per_callback, callbacks, expected_cycles,\n"
    L"                 server_cpu_per_cycle and wineserver_cpu_per_cycle:\n"
    L"                 {ms_per_callback, ms_per_expected_cycle, ms_per_second}\n"
    L"\n"
    L"--idle: what the server costs doing nothing: first without groups, then with G\n"
    L"groups (default 100) held inactive without items, then with G active groups of N\n"
    L"items (default 10) at rate MS (default 1000) without any subscriber, each watched\n"
    L"for S seconds (default 10). Prints the CPU time of the server and of the wineserver\n"
    L"(which serves every process of the Wine prefix) as a share of one core.\n"
    L"\n"
    L"--browse: lists the leaves of BRANCH (BrowseOPCItemIDs, all names fetched) N times\n"
    L"(default 5); --properties: reads every property of ITEM (QueryAvailableProperties\n"
    L"and GetItemProperties) N times. Prints the names or properties per call, the median\n"
    L"time of a call and the server's CPU time per name or property. With --da3, --browse\n"
    L"also lists BRANCH with one IOPCBrowse::Browse (OPC DA 3.0), first without\n"
    L"properties, then with every property and its value, and prints the same figures\n"
    L"per element (--json: da3_browse and da3_browse_all_properties: {elements,\n"
    L"properties, ms_per_call, server_cpu_us_per_element}).\n",
    kOptJson | kOptSizes | kOptRuns | kOptSubscribe | kOptIdle | kOptGroups | kOptItems |
        kOptSeconds | kOptRate | kOptBrowse | kOptProperties | kOptChange | kOptDa3 | kOptVersus,
    2,
    2,
    RunBench};
