#include "branch_listing.h"

#include <unordered_set>

#include "address_space_browser.h"
#include "ansi_text.h"

namespace {

bool Wanted(OPCBROWSEFILTER filter, DWORD flags) {
    if (filter == OPC_BROWSE_FILTER_BRANCHES) return (flags & OPC_BROWSE_HASCHILDREN) != 0;
    if (filter == OPC_BROWSE_FILTER_ITEMS) return (flags & OPC_BROWSE_ISITEM) != 0;
    return true;
}

bool HasChildren(CDriver& driver, DWORD id) {
    std::vector<std::string> below;
    driver.EnumChildren(below, id);
    if (below.empty()) driver.EnumTags(below, id);
    return !below.empty();
}

struct Listed {
    bool known = true;
    std::vector<BrowseElement> elements;
};

// Runs on the driver's threads: the objects and tags below `path`, each looked up once.
Listed ListBelow(CDriver& driver, const std::vector<std::string>& path, const std::wstring& prefix,
                 OPCBROWSEFILTER filter, const NameFilter& names) {
    Listed listed;
    // A driver answers its root for a path it does not know.
    const DWORD parent = path.empty() ? 0 : driver.GetObjectIDFromPath(path);
    if (!path.empty() && parent == 0) {
        listed.known = false;
        return listed;
    }
    std::vector<std::string> candidates, tags;
    driver.EnumChildren(candidates, parent);
    driver.EnumTags(tags, parent);
    candidates.insert(candidates.end(), tags.begin(), tags.end());
    // A driver that lists a tag among both its children and its tags shows it once.
    std::unordered_set<std::string> seen;
    for (const std::string& name : candidates) {
        if (!seen.insert(name).second) continue;
        BrowseElement element;
        element.name = AnsiToWide(name);
        if (!names.Matches(element.name)) continue;
        const DWORD id = driver.GetObjectID(parent, name);
        if (id == 0) continue;
        if (driver.GetTagFacts(id).isTag) element.flags |= OPC_BROWSE_ISITEM;
        if (HasChildren(driver, id)) element.flags |= OPC_BROWSE_HASCHILDREN;
        if (!Wanted(filter, element.flags)) continue;
        element.itemId = prefix + element.name;
        listed.elements.push_back(std::move(element));
    }
    return listed;
}

}  // namespace

HRESULT ListBranch(const DriverLists& drivers, const std::wstring& itemId, OPCBROWSEFILTER filter,
                   const NameFilter& names, std::vector<BrowseElement>& elements) {
    elements.clear();
    if (itemId.empty()) {
        // Every driver is shown as a branch to open, without asking it what it holds.
        for (const std::string& driverName : drivers.driverNames) {
            BrowseElement element{AnsiToWide(driverName), {}, OPC_BROWSE_HASCHILDREN};
            element.itemId = element.name;
            if (names.Matches(element.name) && Wanted(filter, element.flags))
                elements.push_back(std::move(element));
        }
        return S_OK;
    }
    std::vector<std::string> levels = AddressSpaceBrowser::SplitPath(WideToAnsi(itemId));
    if (levels.empty() || levels.size() > AddressSpaceBrowser::kMaxDepth)
        return OPC_E_UNKNOWNITEMID;
    const std::shared_ptr<CDriver> driver = drivers.Find(levels.front());
    if (!driver) return OPC_E_UNKNOWNITEMID;
    DriverCall<Listed> call = driver->Begin<Listed>(
        [path = std::vector<std::string>(levels.begin() + 1, levels.end()), prefix = itemId + L".",
         filter, names](CDriver& d) { return ListBelow(d, path, prefix, filter, names); });
    if (!call.Wait(CDriver::WaitLimit())) return E_FAIL;
    if (!call.Result().known) return OPC_E_UNKNOWNITEMID;
    elements = std::move(call.Result().elements);
    return S_OK;
}
