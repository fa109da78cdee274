// browse: walks the server's address space and prints its branches and leaves, each with the
// fully qualified identifier the server makes for it: through the OPC DA 3.0 IOPCBrowse where
// the server has it (one call per branch, resumed at continuation points, the properties in
// the same calls with --properties), else, or with --da2, through
// IOPCBrowseServerAddressSpace. Both walks give the same lines: an element that is an item is
// a leaf, any other a branch, as a DA 2.0 listing of leaves and branches shows them.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "browse_elements.h"
#include "co_task_mem.h"
#include "commands.h"
#include "com_ptr.h"
#include "connection.h"
#include "console_output.h"
#include "hresult_text.h"
#include "json_writer.h"
#include "tool_error.h"
#include "value_format.h"

namespace {

// A tree from a driver may loop back into itself (a branch that contains itself), so the walk
// always has a depth limit.
constexpr unsigned long kDefaultDepth = 10;

struct Property {
    DWORD id = 0;
    std::wstring description, value;
};

struct Node {
    std::wstring name, itemId;
    bool leaf = false;
    unsigned level = 0;
    std::vector<Property> properties;  // with --properties, through IOPCBrowse
};

[[noreturn]] void FailCall(Connection& connection, const wchar_t* call, HRESULT hr) {
    ThrowFailure(std::wstring(call) + L" failed: " + CodeWithName(hr) + L" " +
                 connection.ErrorText(hr));
}

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
    [[noreturn]] void Fail(const wchar_t* call, HRESULT hr) { FailCall(connection_, call, hr); }

    Connection& connection_;
    IOPCBrowseServerAddressSpace* browser_;
};

// One branch's elements through IOPCBrowse, in pages the server may cut.
class Da3Walker {
  public:
    Da3Walker(Connection& connection, IOPCBrowse* browser, bool properties)
        : connection_(connection), browser_(browser), properties_(properties) {}

    // Items (leaves) first, then the other elements, each branch followed by what is below.
    void Walk(const std::wstring& itemId, unsigned level, unsigned long depth,
              std::vector<Node>& out) {
        std::vector<Node> leaves, branches;
        std::vector<bool> hasChildren;
        Elements(itemId, level, leaves, branches, hasChildren);
        for (Node& leaf : leaves) out.push_back(std::move(leaf));
        for (size_t i = 0; i < branches.size(); ++i) {
            const std::wstring below = branches[i].itemId;
            out.push_back(std::move(branches[i]));
            if (level + 1 < depth && hasChildren[i]) Walk(below, level + 1, depth, out);
        }
    }

  private:
    void Elements(const std::wstring& itemId, unsigned level, std::vector<Node>& leaves,
                  std::vector<Node>& branches, std::vector<bool>& hasChildren) {
        CoTaskString point(L"");     // none yet (the proxy refuses a null string)
        DWORD noProperties[1] = {};  // an [in, size_is] array is a ref pointer even when empty
        do {
            BOOL more = FALSE;
            DWORD count = 0;
            OPCBROWSEELEMENT* elements = nullptr;
            LPWSTR resume = point.Detach();
            const HRESULT hr = browser_->Browse(const_cast<wchar_t*>(itemId.c_str()), &resume, 0,
                                                OPC_BROWSE_FILTER_ALL, const_cast<wchar_t*>(L""),
                                                const_cast<wchar_t*>(L""), properties_, properties_,
                                                0, noProperties, &more, &count, &elements);
            // The proxy has freed or reused the string passed in; the answer's is ours.
            *point.Put() = resume;
            const BrowseElements owned = OwnBrowseElements(elements, count);
            if (FAILED(hr)) FailCall(connection_, L"IOPCBrowse::Browse", hr);
            for (DWORD i = 0; i < count; ++i) {
                const OPCBROWSEELEMENT& e = elements[i];
                Node node{e.szName ? e.szName : L"",
                          e.szItemID ? e.szItemID : L"",
                          (e.dwFlagValue & OPC_BROWSE_ISITEM) != 0,
                          level,
                          {}};
                const OPCITEMPROPERTIES& props = e.ItemProperties;
                for (DWORD k = 0; props.pItemProperties && k < props.dwNumProperties; ++k) {
                    const OPCITEMPROPERTY& p = props.pItemProperties[k];
                    if (FAILED(p.hrErrorID)) continue;
                    node.properties.push_back({p.dwPropertyID,
                                               p.szDescription ? p.szDescription : L"",
                                               FormatValue(p.vValue)});
                }
                if (node.leaf) {
                    leaves.push_back(std::move(node));
                } else {
                    hasChildren.push_back((e.dwFlagValue & OPC_BROWSE_HASCHILDREN) != 0);
                    branches.push_back(std::move(node));
                }
            }
        } while (point.Get() && *point.Get());
    }

    Connection& connection_;
    IOPCBrowse* browser_;
    BOOL properties_;
};

std::vector<Node> Walk(Connection& connection, const Options& options) {
    const std::wstring path = options.arguments.size() > 1 ? options.arguments[1] : L"";
    const unsigned long depth = options.depth.value_or(kDefaultDepth);
    std::vector<Node> nodes;
    ComPtr<IOPCBrowse> da3;
    if (!options.da2 &&
        SUCCEEDED(connection.Server()->QueryInterface(IID_IOPCBrowse, da3.PutVoid()))) {
        Da3Walker(connection, da3.Get(), options.properties).Walk(path, 0, depth, nodes);
        return nodes;
    }
    if (options.properties)
        ThrowFailure(L"--properties needs a server with IOPCBrowse (OPC DA 3.0), without --da2");
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    const HRESULT qi =
        connection.Server()->QueryInterface(IID_IOPCBrowseServerAddressSpace, browser.PutVoid());
    if (FAILED(qi)) ThrowFailure(L"the server cannot be browsed: " + CodeWithName(qi));
    Walker walker(connection, browser.Get());
    walker.Move(OPC_BROWSE_TO, path);
    walker.Walk(0, depth, nodes);
    return nodes;
}

int RunBrowse(const Options& options) {
    Connection connection(options.arguments[0]);
    const std::vector<Node> nodes = Walk(connection, options);

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
            if (options.properties) {
                json.Key(L"properties");
                json.BeginArray();
                for (const Property& p : n.properties) {
                    json.BeginObject();
                    json.Key(L"id");
                    json.Unsigned(p.id);
                    json.Key(L"description");
                    json.String(p.description);
                    json.Key(L"value");
                    json.String(p.value);
                    json.EndObject();
                }
                json.EndArray();
            }
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
        const std::wstring indent(2 * n.level, L' ');
        text += indent + n.name + (n.leaf ? L" = " + n.itemId : L"/") + L"\n";
        for (const Property& p : n.properties)
            text += indent + L"    " + std::to_wstring(p.id) + L" " + p.description + L": " +
                    p.value + L"\n";
    }
    WriteOut(text);
    return 0;
}

}  // namespace

const Command kBrowseCommand{
    L"browse",
    L"browse PROGID [PATH] [--depth N] [--leaves] [--properties | --da2] [--json]",
    L"print the server's address space as a tree",
    L"Walks the address space from PATH (an item identifier of a branch; default: the\n"
    L"root) with IOPCBrowse (OPC DA 3.0) where the server has it, else with\n"
    L"IOPCBrowseServerAddressSpace. Each level lists its leaves, as\n"
    L"NAME = ITEM_ID (the identifier to read or subscribe to), then its branches, as\n"
    L"NAME/, each followed by what lies below it, indented.\n"
    L"  --depth N   levels to walk below PATH (default 10; a driver's tree may contain\n"
    L"              itself)\n"
    L"  --leaves    only the leaves' identifiers, one per line\n"
    L"  --properties  each leaf's properties below it (ID DESCRIPTION: VALUE), fetched\n"
    L"              with the listing (IOPCBrowse only)\n"
    L"  --da2       browse with IOPCBrowseServerAddressSpace even where IOPCBrowse is\n"
    L"  --json      an array of {name, item_id, kind: branch|leaf, level}, in tree order\n"
    L"              (with --properties also properties: [{id, description, value}])\n",
    kOptJson | kOptDepth | kOptLeaves | kOptProperties | kOptDa2,
    1,
    2,
    RunBrowse};
