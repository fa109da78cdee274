// bench --browse and --properties: what listing a big branch and reading an item's properties
// cost through the real out-of-process server, per name returned; with --da3 also the same
// branch through IOPCBrowse::Browse, without and with every property and its value.
#include <windows.h>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "browse_elements.h"
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

// One IOPCBrowse::Browse of every element of `branch`, in one call; the properties counted.
size_t BrowseDa3(Connection& connection, IOPCBrowse* browse, const std::wstring& branch,
                 bool properties, size_t& propertyCount) {
    LPWSTR point = CoTaskStrDup(L"");  // none (the proxy refuses a null string)
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    DWORD noProperties[1] = {};  // an [in, size_is] array is a ref pointer even when empty
    const HRESULT hr =
        browse->Browse(const_cast<wchar_t*>(branch.c_str()), &point, 0, OPC_BROWSE_FILTER_ALL,
                       const_cast<wchar_t*>(L""), const_cast<wchar_t*>(L""), properties, properties,
                       0, noProperties, &more, &count, &elements);
    CoTaskMemFree(point);
    const BrowseElements owned = OwnBrowseElements(elements, count);
    propertyCount = 0;
    for (DWORD i = 0; elements && i < count; ++i)
        propertyCount += elements[i].ItemProperties.dwNumProperties;
    if (FAILED(hr)) Fail(connection, L"IOPCBrowse::Browse", hr);
    return count;
}

struct Measured {
    size_t names = 0;
    double ms = 0, us = -1;  // median per call; server µs per name (-1: not watched)
};

template <class Call>
Measured Measure(const std::optional<ProcessMeter>& meter, unsigned runs, Call call) {
    std::vector<double> milliseconds, cpu;
    Measured m;
    for (unsigned run = 0; run < runs; ++run) {
        const double before = meter ? meter->Read().cpuSeconds : 0;
        Stopwatch watch;
        m.names = call();
        milliseconds.push_back(watch.Seconds() * 1000);
        if (meter && m.names) cpu.push_back((meter->Read().cpuSeconds - before) * 1e6 / m.names);
    }
    m.ms = Median(milliseconds);
    m.us = Median(cpu);
    return m;
}

// The IOPCBrowse figures beside the DA 2.0 ones.
void AddDa3(Connection& connection, const std::optional<ProcessMeter>& meter,
            const Options& options, const std::wstring& branch, JsonWriter* json,
            std::wstring& text) {
    ComPtr<IOPCBrowse> browse;
    const HRESULT qi = connection.Server()->QueryInterface(IID_IOPCBrowse, browse.PutVoid());
    if (FAILED(qi)) ThrowFailure(L"the server does not offer IOPCBrowse: " + CodeWithName(qi));
    for (const bool properties : {false, true}) {
        size_t propertyCount = 0;
        const Measured m = Measure(meter, options.runs, [&] {
            return BrowseDa3(connection, browse.Get(), branch, properties, propertyCount);
        });
        if (json) {
            json->Key(properties ? L"da3_browse_all_properties" : L"da3_browse");
            json->BeginObject();
            json->Key(L"elements");
            json->Unsigned(m.names);
            json->Key(L"properties");
            json->Unsigned(propertyCount);
            json->Key(L"ms_per_call");
            json->Number(Rounded(m.ms, 0.01));
            if (m.us >= 0) {
                json->Key(L"server_cpu_us_per_element");
                json->Number(Rounded(m.us, 0.01));
            }
            json->EndObject();
            continue;
        }
        text += std::wstring(L"IOPCBrowse::Browse, ") +
                (properties ? L"every property with its value" : L"no properties") + L"\n  " +
                std::to_wstring(m.names) + L" elements" +
                (properties ? L" (" + std::to_wstring(propertyCount) + L" properties)" : L"") +
                L" in " + Fixed(m.ms, 2) + L" ms per call (" +
                Fixed(m.ms > 0 ? m.names * 1000 / m.ms : 0, 0) + L" elements per second)\n";
        if (m.us >= 0) text += L"  server CPU " + Fixed(m.us, 2) + L" us per element\n";
    }
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

    const Measured measured = Measure(meter, options.runs, [&] {
        return browse ? ListLeaves(connection, browse.Get())
                      : ReadAllProperties(connection, props.Get(),
                                          const_cast<wchar_t*>(target.c_str()));
    });
    const size_t names = measured.names;
    const double ms = measured.ms, us = measured.us;
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
        std::wstring unused;
        if (options.da3) AddDa3(connection, meter, options, target, &json, unused);
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
    if (options.da3) AddDa3(connection, meter, options, target, nullptr, text);
    WriteOut(text);
    return 0;
}
