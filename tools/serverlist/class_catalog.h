// The COM classes registered on this machine as the component categories describe them, read
// from both registry views (the 64-bit one first), so that 32-bit servers on 64-bit Windows
// are found as well; a class registered in both views counts once, as the 64-bit view has it.
//
// Whatever the registry holds is read defensively: a CLSID or category subkey whose name is
// no GUID, a missing key, a value of the wrong type are skipped (an empty text), never an error.
#pragma once

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

struct RegisteredClass {
    CLSID clsid{};
    std::wstring progId;                    // "ProgID" subkey's default value
    std::wstring versionIndependentProgId;  // "VersionIndependentProgID"
    std::wstring userType;                  // the class key's default value
    std::vector<GUID> implemented;          // "Implemented Categories"
    std::vector<GUID> required;             // "Required Categories"
};

// Every class that implements at least one category.
std::vector<RegisteredClass> ReadCategorizedClasses();

// Whether a class answers a category query: it implements at least one of `implemented`, and
// every category it requires is one of `required` (a client that cannot provide what a
// class needs must not be offered it). No implemented categories asked for: no class.
bool MatchesCategories(const RegisteredClass& c, const std::vector<GUID>& implemented,
                       const std::vector<GUID>& required);

// The classes that match, in registry order.
std::vector<RegisteredClass> ClassesOfCategories(const std::vector<GUID>& implemented,
                                                 const std::vector<GUID>& required);

// A registered class (any class, categorized or not), or nothing when neither view has it.
std::optional<RegisteredClass> FindRegisteredClass(const CLSID& clsid);

// The class a ProgID names (its "CLSID" subkey), or nothing.
std::optional<CLSID> FindProgIdClass(const std::wstring& progId);

// "{XXXXXXXX-...}" for a GUID.
std::wstring GuidText(const GUID& guid);
// The GUID a registry key name spells, braces required; nothing for any other text.
std::optional<GUID> GuidFromText(const std::wstring& text);
