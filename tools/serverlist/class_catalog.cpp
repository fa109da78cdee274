#include "class_catalog.h"

#include <objbase.h>
#include <algorithm>

#include "registry_key.h"

namespace {

constexpr REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

std::vector<GUID> CategoryList(const RegistryKey& classKey, const wchar_t* which) {
    std::vector<GUID> categories;
    for (const std::wstring& name : classKey.Open(which).SubkeyNames())
        if (std::optional<GUID> catid = GuidFromText(name)) categories.push_back(*catid);
    return categories;
}

RegisteredClass Describe(const RegistryKey& classKey, const CLSID& clsid) {
    RegisteredClass c;
    c.clsid = clsid;
    c.progId = classKey.Text(L"ProgID");
    c.versionIndependentProgId = classKey.Text(L"VersionIndependentProgID");
    c.userType = classKey.Text();
    c.implemented = CategoryList(classKey, L"Implemented Categories");
    c.required = CategoryList(classKey, L"Required Categories");
    return c;
}

bool Listed(const std::vector<GUID>& list, const GUID& id) {
    return std::find(list.begin(), list.end(), id) != list.end();
}

}  // namespace

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return text;
}

std::optional<GUID> GuidFromText(const std::wstring& text) {
    // CLSIDFromString would also take a ProgID and look it up: only the braced form counts.
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return std::nullopt;
    GUID guid;
    if (FAILED(IIDFromString(const_cast<wchar_t*>(text.c_str()), &guid))) return std::nullopt;
    return guid;
}

std::vector<RegisteredClass> ReadCategorizedClasses() {
    std::vector<RegisteredClass> classes;
    for (REGSAM view : kViews) {
        const RegistryKey root(HKEY_CLASSES_ROOT, L"CLSID", view);
        for (const std::wstring& name : root.SubkeyNames()) {
            const RegistryKey classKey = root.Open(name);
            // Most classes have no categories: decide that before reading anything else.
            if (!classKey.HasSubkey(L"Implemented Categories")) continue;
            const std::optional<CLSID> clsid = GuidFromText(name);
            if (!clsid) continue;
            auto same = [&](const RegisteredClass& c) { return c.clsid == *clsid; };
            if (std::any_of(classes.begin(), classes.end(), same)) continue;
            RegisteredClass c = Describe(classKey, *clsid);
            if (!c.implemented.empty()) classes.push_back(std::move(c));
        }
    }
    return classes;
}

bool MatchesCategories(const RegisteredClass& c, const std::vector<GUID>& implemented,
                       const std::vector<GUID>& required) {
    const bool implementsOne = std::any_of(c.implemented.begin(), c.implemented.end(),
                                           [&](const GUID& id) { return Listed(implemented, id); });
    const bool needsOnlyWhatIsOffered = std::all_of(
        c.required.begin(), c.required.end(), [&](const GUID& id) { return Listed(required, id); });
    return implementsOne && needsOnlyWhatIsOffered;
}

std::vector<RegisteredClass> ClassesOfCategories(const std::vector<GUID>& implemented,
                                                 const std::vector<GUID>& required) {
    std::vector<RegisteredClass> matching;
    if (implemented.empty()) return matching;
    for (RegisteredClass& c : ReadCategorizedClasses())
        if (MatchesCategories(c, implemented, required)) matching.push_back(std::move(c));
    return matching;
}

std::optional<RegisteredClass> FindRegisteredClass(const CLSID& clsid) {
    const std::wstring path = L"CLSID\\" + GuidText(clsid);
    for (REGSAM view : kViews) {
        const RegistryKey classKey(HKEY_CLASSES_ROOT, path, view);
        if (classKey) return Describe(classKey, clsid);
    }
    return std::nullopt;
}

std::optional<CLSID> FindProgIdClass(const std::wstring& progId) {
    // An empty name or one with a path separator would open some other key.
    if (progId.empty() || progId.find(L'\\') != std::wstring::npos) return std::nullopt;
    for (REGSAM view : kViews) {
        const RegistryKey progIdKey(HKEY_CLASSES_ROOT, progId, view);
        if (std::optional<CLSID> clsid = GuidFromText(progIdKey.Text(L"CLSID"))) return clsid;
    }
    return std::nullopt;
}
