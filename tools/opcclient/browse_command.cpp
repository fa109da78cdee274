// browse: walks the server's address space through IOPCBrowseServerAddressSpace and prints its
// branches and leaves, each with the fully qualified identifier the server makes for it.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "com_ptr.h"
#include "connection.h"
#include "console_output.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "tool_error.h"

namespace {

// A tree from a driver may loop back into itself (a branch that contains itself), so the walk
// always has a depth limit.
constexpr unsigned long kDefaultDepth = 10;

struct Node {
    std::wstring name, itemId;
    bool leaf = false;
    unsigned level = 0;
};

class Walker {
  public:
    Walker(Connection& connection, IOPCBrowseServerAddressSpace* browser)
        : connection_(connection), browser_(browser) {}

    std::vector<std::wstring> Names(OPCBROWSETYPE type) {
        ComPtr<IEnumString> e;
        const HRESULT hr = browser_->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Put());
        if (FAILED(hr)) Fail(L"BrowseOPCItemIDs", hr);
        std::vector<std::wstring> names;
        LPOLESTR name = nullptr;
        while (e && e->Next(1, &name, nullptr) == S_OK) {
            names.emplace_back(name ? name : L"");
            CoTaskMemFree(name);
        }
        return names;
    }

    std::wstring ItemId(const std::wstring& name) {
        LPWSTR id = nullptr;
        const HRESULT hr = browser_->GetItemID(const_cast<wchar_t*>(name.c_str()), &id);
        if (FAILED(hr)) Fail(L"GetItemID", hr);
        std::wstring result = id ? id : L"";
        CoTaskMemFree(id);
        return result;
    }

    void Move(OPCBROWSEDIRECTION direction, const std::wstring& name) {
        const HRESULT hr = browser_->ChangeBrowsePosition(direction, name.c_str());
        if (FAILED(hr)) Fail(L"ChangeBrowsePosition", hr);
    }

    // Branches (each followed by what is below it) and leaves of the current position.
    void Walk(unsigned level, unsigned long depth, std::vector<Node>& out) {
        for (const std::wstring& name : Names(OPC_LEAF))
            out.push_back({name, ItemId(name), true, level});
        for (const std::wstring& name : Names(OPC_BRANCH)) {
            out.push_back({name, ItemId(name), false, level});
            if (level + 1 >= depth) continue;
            Move(OPC_BROWSE_DOWN, name);
            Walk(level + 1, depth, out);
            Move(OPC_BROWSE_UP, L"");
        }
    }

  private:
    [[noreturn]] void Fail(const wchar_t* call, HRESULT hr) {
        ThrowFailure(std::wstring(call) + L" failed: " + CodeWithName(hr) + L" " +
                     connection_.ErrorText(hr));
    }

    Connection& connection_;
    IOPCBrowseServerAddressSpace* browser_;
};

int RunBrowse(const Options& options) {
    Connection connection(options.arguments[0]);
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    const HRESULT qi =
        connection.Server()->QueryInterface(IID_IOPCBrowseServerAddressSpace, browser.PutVoid());
    if (FAILED(qi)) ThrowFailure(L"the server cannot be browsed: " + CodeWithName(qi));
    Walker walker(connection, browser.Get());
    const std::wstring path = options.arguments.size() > 1 ? options.arguments[1] : L"";
    walker.Move(OPC_BROWSE_TO, path);
    std::vector<Node> nodes;
    walker.Walk(0, options.depth.value_or(kDefaultDepth), nodes);

    if (options.json) {
        JsonWriter json;
        json.BeginArray();
        for (const Node& n : nodes) {
            if (options.leavesOnly && !n.leaf) continue;
            json.BeginObject();
            json.Key(L"name");
            json.String(n.name);
            json.Key(L"item_id");
            json.String(n.itemId);
            json.Key(L"kind");
            json.String(n.leaf ? L"leaf" : L"branch");
            json.Key(L"level");
            json.Unsigned(n.level);
            json.EndObject();
        }
        json.EndArray();
        WriteOut(json.Text());
        return 0;
    }
    std::wstring text;
    for (const Node& n : nodes) {
        if (options.leavesOnly) {
            if (n.leaf) text += n.itemId + L"\n";
            continue;
        }
        text +=
            std::wstring(2 * n.level, L' ') + n.name + (n.leaf ? L" = " + n.itemId : L"/") + L"\n";
    }
    WriteOut(text);
    return 0;
}

}  // namespace

const Command kBrowseCommand{
    L"browse",
    L"browse PROGID [PATH] [--depth N] [--leaves] [--json]",
    L"print the server's address space as a tree",
    L"Walks the address space from PATH (an item identifier of a branch; default: the\n"
    L"root) with IOPCBrowseServerAddressSpace. Each level lists its leaves, as\n"
    L"NAME = ITEM_ID (the identifier to read or subscribe to), then its branches, as\n"
    L"NAME/, each followed by what lies below it, indented.\n"
    L"  --depth N   levels to walk below PATH (default 10; a driver's tree may contain\n"
    L"              itself)\n"
    L"  --leaves    only the leaves' identifiers, one per line\n"
    L"  --json      an array of {name, item_id, kind: branch|leaf, level}, in tree order\n",
    kOptJson | kOptDepth | kOptLeaves,
    1,
    2,
    RunBrowse};
