// bench --browse and --properties: what listing a big branch and reading an item's properties
// cost through the real out-of-process server, per name returned.
#include <windows.h>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "co_task_mem.h"
#include "com_ptr.h"
#include "connection.h"
#include "console_output.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "process_meter.h"
#include "tool_error.h"

namespace {

[[noreturn]] void Fail(Connection& connection, const wchar_t* call, HRESULT hr) {
    ThrowFailure(std::wstring(call) + L" failed: " + CodeWithName(hr) + L" " +
                 connection.ErrorText(hr));
}

// The leaves of the browse position, fetched in batches as a client with a big branch would.
size_t ListLeaves(Connection& connection, IOPCBrowseServerAddressSpace* browse) {
    ComPtr<IEnumString> e;
    const HRESULT hr = browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, e.Put());
    if (FAILED(hr)) Fail(connection, L"BrowseOPCItemIDs", hr);
    size_t names = 0;
    std::vector<LPOLESTR> batch(1000);
    for (;;) {
        ULONG fetched = 0;
        const HRESULT next = e->Next(static_cast<ULONG>(batch.size()), batch.data(), &fetched);
        for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(batch[i]);
        names += fetched;
        if (next != S_OK) return names;
    }
}

// Every property of `item`: their IDs, then their values.
size_t ReadAllProperties(Connection& connection, IOPCItemProperties* props, LPWSTR item) {
    DWORD count = 0, *ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    HRESULT hr = props->QueryAvailableProperties(item, &count, &ids, &descriptions, &types);
    if (FAILED(hr)) Fail(connection, L"QueryAvailableProperties", hr);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    hr = count ? props->GetItemProperties(item, count, ids, &values, &errors) : S_OK;
    CoTaskMemFree(ids);
    if (FAILED(hr)) Fail(connection, L"GetItemProperties", hr);
    for (DWORD i = 0; i < count && values; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    return count;
}

}  // namespace

int RunAddressSpaceBench(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::wstring& target = options.arguments[1];
    const std::optional<ProcessMeter> meter = ProcessMeter::ForServer(connection.Clsid());
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ComPtr<IOPCItemProperties> props;
    HRESULT qi = options.browse
                     ? connection.Server()->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                                                           browse.PutVoid())
                     : connection.Server()->QueryInterface(IID_IOPCItemProperties, props.PutVoid());
    if (FAILED(qi)) ThrowFailure(L"the server does not offer the interface: " + CodeWithName(qi));
    if (browse) {
        const HRESULT hr = browse->ChangeBrowsePosition(OPC_BROWSE_TO, target.c_str());
        if (FAILED(hr)) Fail(connection, L"ChangeBrowsePosition", hr);
    }

    std::vector<double> milliseconds, cpu;  // per call; server µs per name
    size_t names = 0;
    for (unsigned run = 0; run < options.runs; ++run) {
        const double before = meter ? meter->Read().cpuSeconds : 0;
        Stopwatch watch;
        names = browse ? ListLeaves(connection, browse.Get())
                       : ReadAllProperties(connection, props.Get(),
                                           const_cast<wchar_t*>(target.c_str()));
        milliseconds.push_back(watch.Seconds() * 1000);
        if (meter && names) cpu.push_back((meter->Read().cpuSeconds - before) * 1e6 / names);
    }
    const double ms = Median(milliseconds), us = Median(cpu);
    const wchar_t* what = browse ? L"names" : L"properties";

    if (options.json) {
        JsonWriter json;
        BeginBenchJson(json, connection, target);
        json.Key(L"operation");
        json.String(browse ? L"browse_leaves" : L"item_properties");
        json.Key(L"runs");
        json.Unsigned(options.runs);
        json.Key(what);
        json.Unsigned(names);
        json.Key(L"ms_per_call");
        json.Number(Rounded(ms, 0.01));
        json.Key(browse ? L"names_per_second" : L"properties_per_second");
        json.Number(Rounded(ms > 0 ? names * 1000 / ms : 0, 1));
        if (us >= 0) {
            json.Key(browse ? L"server_cpu_us_per_name" : L"server_cpu_us_per_property");
            json.Number(Rounded(us, 0.01));
        }
        json.EndObject();
        WriteOut(json.Text());
        return 0;
    }
    std::wstring text = std::wstring(browse ? L"Leaves of " : L"Properties of ") + target +
                        L" on " + connection.Name() + L", median of " +
                        std::to_wstring(options.runs) + (options.runs == 1 ? L" run" : L" runs") +
                        L"\n  " + std::to_wstring(names) + L" " + what + L" in " + Fixed(ms, 2) +
                        L" ms per call (" + Fixed(ms > 0 ? names * 1000 / ms : 0, 0) + L" " + what +
                        L" per second)\n";
    if (us >= 0)
        text += L"  server CPU " + Fixed(us, 2) + L" us per " + (browse ? L"name" : L"property") +
                L"\n";
    WriteOut(text);
    return 0;
}
