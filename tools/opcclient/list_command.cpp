// list: the OPC DA servers registered on this machine, found the way a server registers
// itself, through the implemented categories of its class. Both registry views are read, so
// a 64-bit client also sees 32-bit servers.
#include <windows.h>
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "console_output.h"
#include "json_writer.h"
#include "opc.h"
#include "text_table.h"

namespace {

struct RegisteredServer {
    std::wstring progId, clsid, description;
    bool da10 = false, da20 = false, da30 = false;
};

class RegistryKey {
  public:
    RegistryKey(HKEY parent, const std::wstring& path, REGSAM view) {
        if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~RegistryKey() {
        if (key_) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    explicit operator bool() const { return key_ != nullptr; }
    HKEY Get() const { return key_; }

    // The default value of `subkey` ("" for the key itself), or empty.
    std::wstring Text(const wchar_t* subkey = L"") const {
        if (!key_) return L"";
        DWORD bytes = 0;
        if (RegGetValueW(key_, subkey, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
                ERROR_SUCCESS ||
            bytes < sizeof(wchar_t))
            return L"";
        std::wstring text(bytes / sizeof(wchar_t), L'\0');
        if (RegGetValueW(key_, subkey, nullptr, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) !=
            ERROR_SUCCESS)
            return L"";
        text.resize(wcsnlen(text.c_str(), text.size()));
        return text;
    }
    bool HasSubkey(const std::wstring& path) const {
        HKEY sub = nullptr;
        if (!key_ || RegOpenKeyExW(key_, path.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS)
            return false;
        RegCloseKey(sub);
        return true;
    }

  private:
    HKEY key_ = nullptr;
};

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return text;
}

void Collect(REGSAM view, std::vector<RegisteredServer>& servers) {
    RegistryKey classes(HKEY_CLASSES_ROOT, L"CLSID", view);
    if (!classes) return;
    const std::wstring da10 = L"Implemented Categories\\" + GuidText(CATID_OPCDAServer10);
    const std::wstring da20 = L"Implemented Categories\\" + GuidText(CATID_OPCDAServer20);
    const std::wstring da30 = L"Implemented Categories\\" + GuidText(CATID_OPCDAServer30);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG r =
            RegEnumKeyExW(classes.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) continue;
        RegistryKey entry(classes.Get(), name, view);
        RegisteredServer server;
        server.da10 = entry.HasSubkey(da10);
        server.da20 = entry.HasSubkey(da20);
        server.da30 = entry.HasSubkey(da30);
        if (!server.da10 && !server.da20 && !server.da30) continue;
        server.clsid = name;
        auto same = [&](const RegisteredServer& s) { return _wcsicmp(s.clsid.c_str(), name) == 0; };
        if (std::any_of(servers.begin(), servers.end(), same)) continue;
        server.progId = entry.Text(L"ProgID");
        if (server.progId.empty()) server.progId = entry.Text(L"VersionIndependentProgID");
        server.description = entry.Text();
        servers.push_back(std::move(server));
    }
}

std::wstring Versions(const RegisteredServer& s) {
    std::wstring versions;
    for (auto [has, name] : {std::pair{s.da10, L"1.0"}, {s.da20, L"2.0"}, {s.da30, L"3.0"}})
        if (has) versions += (versions.empty() ? L"" : L", ") + std::wstring(name);
    return versions;
}

int RunList(const Options& options) {
    std::vector<RegisteredServer> servers;
    Collect(KEY_WOW64_64KEY, servers);
    Collect(KEY_WOW64_32KEY, servers);
    std::sort(servers.begin(), servers.end(), [](const auto& a, const auto& b) {
        return _wcsicmp(a.progId.c_str(), b.progId.c_str()) < 0;
    });
    if (options.json) {
        JsonWriter json;
        json.BeginArray();
        for (const RegisteredServer& s : servers) {
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
            json.EndObject();
        }
        json.EndArray();
        WriteOut(json.Text());
        return 0;
    }
    if (servers.empty()) {
        WriteOut(L"No OPC DA servers are registered on this machine.\n");
        return 0;
    }
    TextTable table({L"ProgID", L"CLSID", L"DA", L"Description"});
    for (const RegisteredServer& s : servers)
        table.AddRow({s.progId, s.clsid, Versions(s), s.description});
    WriteOut(table.Render());
    return 0;
}

}  // namespace

const Command kListCommand{
    L"list",
    L"list [--json]",
    L"list the OPC DA servers registered on this machine",
    L"Finds the classes registered in the OPC Data Access 1.0, 2.0 and 3.0 server categories\n"
    L"and prints each one's ProgID, CLSID, description and DA versions.\n"
    L"  --json   an array of {progid, clsid, description, da10, da20, da30}\n",
    kOptJson,
    0,
    0,
    RunList};
