#include "address_space_browser.h"

#include <string>
#include <unordered_set>

#include "ansi_text.h"
#include "driver_list.h"

namespace {

// The branches (or the leaves) below `path` of one driver's tree, each a branch or a leaf by
// its record: children first, then (for leaves) the tags.
std::vector<std::wstring> NamesBelow(CDriver& driver, const std::vector<std::string>& path,
                                     bool wantTags) {
    std::vector<std::wstring> names;
    const DWORD parent = driver.GetObjectIDFromPath(path);
    std::vector<std::string> candidates, tags;
    driver.EnumChildren(candidates, parent);
    if (wantTags) {
        driver.EnumTags(tags, parent);
        candidates.insert(candidates.end(), tags.begin(), tags.end());
    }
    // A driver that lists a tag among both its children and its tags shows it once.
    std::unordered_set<std::string> seen;
    for (const std::string& name : candidates) {
        if (!seen.insert(name).second) continue;
        const DWORD id = driver.GetObjectID(parent, name);
        if (driver.GetTagFacts(id).isTag == wantTags) names.push_back(AnsiToWide(name));
    }
    return names;
}

}  // namespace

std::vector<std::string> AddressSpaceBrowser::SplitPath(const std::string& path) {
    std::vector<std::string> levels;
    size_t start = 0;
    while (start < path.size()) {
        const size_t dot = path.find('.', start);
        levels.push_back(path.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return levels;
}

HRESULT AddressSpaceBrowser::ChangePosition(OPCBROWSEDIRECTION direction, const wchar_t* name) {
    switch (direction) {
        case OPC_BROWSE_UP: {
            CriticalSectionLock lock(lock_);
            if (position_.empty()) return E_FAIL;
            position_.pop_back();
            return S_OK;
        }
        case OPC_BROWSE_DOWN: {
            if (!name) return E_INVALIDARG;
            std::string level = WideToAnsi(name);
            CriticalSectionLock lock(lock_);
            if (position_.size() >= kMaxDepth) return E_INVALIDARG;
            position_.push_back(std::move(level));
            return S_OK;
        }
        case OPC_BROWSE_TO: {
            std::vector<std::string> levels = SplitPath(WideToAnsi(name));
            if (levels.size() > kMaxDepth) return E_INVALIDARG;
            CriticalSectionLock lock(lock_);
            position_.swap(levels);  // the old position is freed after the lock
            return S_OK;
        }
        default:
            return E_FAIL;
    }
}

std::vector<std::string> AddressSpaceBrowser::Position() const {
    CriticalSectionLock lock(lock_);
    return position_;
}

std::vector<std::wstring> AddressSpaceBrowser::Names(OPCBROWSETYPE type) const {
    std::vector<std::wstring> names;
    if (type != OPC_BRANCH && type != OPC_LEAF) return names;  // no flat listing
    const std::vector<std::string> position = Position();
    const DriverSnapshot drivers = g_drivers.Snapshot();
    if (position.empty()) {
        if (type == OPC_BRANCH)
            for (const std::string& name : drivers->driverNames) names.push_back(AnsiToWide(name));
        return names;
    }
    const std::shared_ptr<CDriver> driver = drivers->Find(position.front());
    if (!driver) return names;
    // One piece of the driver's work; a driver that does not answer in time shows nothing.
    DriverCall<std::vector<std::wstring>> listing = driver->Begin<std::vector<std::wstring>>(
        [path = std::vector<std::string>(position.begin() + 1, position.end()),
         wantTags = type == OPC_LEAF](CDriver& d) { return NamesBelow(d, path, wantTags); });
    if (listing.Wait(CDriver::WaitLimit())) names = std::move(listing.Result());
    return names;
}

std::wstring AddressSpaceBrowser::ItemId(const wchar_t* name) const {
    std::string id;
    for (const std::string& level : Position()) id += level + ".";
    return AnsiToWide(id) + (name ? name : L"");
}
