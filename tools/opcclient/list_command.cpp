// list: the OPC DA servers registered on this machine, found the way a server registers
// itself, through the implemented categories of its class (both registry views, so a 64-bit
// client also sees 32-bit servers), or, with --server-list, by asking the machine's OPC server
// list object as many clients do, when there is one.
#include <windows.h>
#include <comcat.h>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "class_catalog.h"
#include "co_task_mem.h"
#include "com_call.h"
#include "com_ptr.h"
#include "commands.h"
#include "console_output.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "opc.h"
#include "server_list_identity.h"
#include "text_table.h"

namespace {

struct RegisteredServer {
    std::wstring progId, clsid, description;
    bool da10 = false, da20 = false, da30 = false;
};

struct Listing {
    std::vector<RegisteredServer> servers;
    std::wstring source;  // "registry" or "server list"
    std::wstring note;    // why the server list was not used, when it was asked for
};

constexpr GUID kCategories[] = {CATID_OPCDAServer10, CATID_OPCDAServer20, CATID_OPCDAServer30};

bool* VersionFlag(RegisteredServer& s, size_t category) {
    bool* flags[] = {&s.da10, &s.da20, &s.da30};
    return flags[category];
}

std::vector<RegisteredServer> FromRegistry() {
    std::vector<RegisteredServer> servers;
    for (const RegisteredClass& c : ReadCategorizedClasses()) {
        RegisteredServer server;
        bool any = false;
        for (size_t i = 0; i < 3; ++i) {
            const bool has = std::find(c.implemented.begin(), c.implemented.end(),
                                       kCategories[i]) != c.implemented.end();
            *VersionFlag(server, i) = has;
            any = any || has;
        }
        if (!any) continue;
        server.clsid = GuidText(c.clsid);
        server.progId = c.progId.empty() ? c.versionIndependentProgId : c.progId;
        server.description = c.userType;
        servers.push_back(std::move(server));
    }
    return servers;
}

// Every CLSID an enumerator hands out (IEnumGUID and IOPCEnumGUID have the same Next).
template <class IEnum>
HRESULT Drain(IEnum* e, std::vector<GUID>& out) {
    for (;;) {
        GUID batch[16];
        ULONG fetched = 0;
        const HRESULT hr = e->Next(16, batch, &fetched);
        if (FAILED(hr)) return hr;
        out.insert(out.end(), batch, batch + std::min<ULONG>(fetched, 16));
        if (hr != S_OK || fetched == 0) return S_OK;
    }
}

template <class IList, class IEnum>
HRESULT ClassesOf(IList* list, const GUID& category, std::vector<GUID>& clsids) {
    GUID implemented = category;
    // Nothing required; the proxy needs an array even for no elements.
    GUID none = GUID_NULL;
    ComPtr<IEnum> e;
    const HRESULT hr = list->EnumClassesOfCategories(1, &implemented, 0, &none, e.Put());
    if (FAILED(hr)) return hr;
    return e ? Drain(e.Get(), clsids) : E_POINTER;
}

HRESULT Details(IOPCServerList* list, IOPCServerList2* list2, const GUID& clsid,
                RegisteredServer& server) {
    CoTaskString progId, userType, independent;
    const HRESULT hr =
        list2 ? list2->GetClassDetails(clsid, progId.Put(), userType.Put(), independent.Put())
              : list->GetClassDetails(clsid, progId.Put(), userType.Put());
    if (FAILED(hr)) return hr;
    server.progId = progId.Get() && *progId.Get() ? progId.Get()
                    : independent.Get()           ? independent.Get()
                                                  : L"";
    server.description = userType.Get() ? userType.Get() : L"";
    return S_OK;
}

// The servers the server list names, or the code of the call that failed.
HRESULT FromServerList(std::vector<RegisteredServer>& servers) {
    ComPtr<IOPCServerList> list;
    RETURN_IF_FAILED(CoCreateInstance(CLSID_OpcServerList, nullptr, CLSCTX_ALL, IID_IOPCServerList,
                                      list.PutVoid()));
    // The second interface where the server list has it, as current clients ask.
    ComPtr<IOPCServerList2> list2;
    if (FAILED(list.As(list2))) list2.Reset();
    for (size_t i = 0; i < 3; ++i) {
        std::vector<GUID> clsids;
        const HRESULT hr =
            list2 ? ClassesOf<IOPCServerList2, IOPCEnumGUID>(list2.Get(), kCategories[i], clsids)
                  : ClassesOf<IOPCServerList, IEnumGUID>(list.Get(), kCategories[i], clsids);
        if (FAILED(hr)) return hr;
        for (const GUID& clsid : clsids) {
            const std::wstring text = GuidText(clsid);
            auto same = [&](const RegisteredServer& s) { return s.clsid == text; };
            auto found = std::find_if(servers.begin(), servers.end(), same);
            if (found == servers.end()) {
                RegisteredServer server;
                server.clsid = text;
                RETURN_IF_FAILED(Details(list.Get(), list2.Get(), clsid, server));
                servers.push_back(std::move(server));
                found = servers.end() - 1;
            }
            *VersionFlag(*found, i) = true;
        }
    }
    return S_OK;
}

Listing Collect(bool useServerList) {
    Listing listing;
    if (useServerList) {
        const HRESULT hr = FromServerList(listing.servers);
        if (SUCCEEDED(hr)) {
            listing.source = L"server list";
            return listing;
        }
        listing.servers.clear();
        listing.note = L"the OPC server list did not answer (" + DescribeFailure(hr) + L")";
    }
    listing.servers = FromRegistry();
    listing.source = L"registry";
    return listing;
}

std::wstring Versions(const RegisteredServer& s) {
    std::wstring versions;
    for (auto [has, name] : {std::pair{s.da10, L"1.0"}, {s.da20, L"2.0"}, {s.da30, L"3.0"}})
        if (has) versions += (versions.empty() ? L"" : L", ") + std::wstring(name);
    return versions;
}

std::wstring SourceLine(const Listing& listing) {
    std::wstring line = listing.source == L"server list"
                            ? L"Source: the OPC server list (OPC.ServerList.1)\n"
                            : L"Source: the component categories in the registry\n";
    if (!listing.note.empty()) line += L"(" + listing.note + L")\n";
    return line;
}

int RunList(const Options& options) {
    Listing listing = Collect(options.serverList);
    std::sort(listing.servers.begin(), listing.servers.end(), [](const auto& a, const auto& b) {
        return _wcsicmp(a.progId.c_str(), b.progId.c_str()) < 0;
    });
    if (options.json) {
        JsonWriter json;
        json.BeginArray();
        for (const RegisteredServer& s : listing.servers) {
            json.BeginObject();
            json.Key(L"progid");
            json.String(s.progId);
            json.Key(L"clsid");
            json.String(s.clsid);
            json.Key(L"description");
            json.String(s.description);
            json.Key(L"da10");
            json.Bool(s.da10);
            json.Key(L"da20");
            json.Bool(s.da20);
            json.Key(L"da30");
            json.Bool(s.da30);
            json.Key(L"source");
            json.String(listing.source);
            json.EndObject();
        }
        json.EndArray();
        WriteOut(json.Text());
        return 0;
    }
    if (listing.servers.empty()) {
        WriteOut(L"No OPC DA servers are registered on this machine.\n" + SourceLine(listing));
        return 0;
    }
    TextTable table({L"ProgID", L"CLSID", L"DA", L"Description"});
    for (const RegisteredServer& s : listing.servers)
        table.AddRow({s.progId, s.clsid, Versions(s), s.description});
    WriteOut(table.Render() + L"\n" + SourceLine(listing));
    return 0;
}

}  // namespace

const Command kListCommand{
    L"list",
    L"list [--server-list] [--json]",
    L"list the OPC DA servers registered on this machine",
    L"Finds the classes registered in the OPC Data Access 1.0, 2.0 and 3.0 server categories\n"
    L"and prints each one's ProgID, CLSID, description and DA versions, and where the answer\n"
    L"came from.\n"
    L"  --server-list  ask the machine's OPC server list (OPC.ServerList.1), as many clients\n"
    L"                 do; without one, or when it fails, the categories are read as without\n"
    L"                 this option\n"
    L"  --json         an array of {progid, clsid, description, da10, da20, da30, source};\n"
    L"                 source is \"server list\" or \"registry\"\n",
    kOptJson | kOptServerList,
    0,
    0,
    RunList};
