// Every string an IEnumString hands out from where it stands, each freed after copying.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <string>
#include <vector>

inline std::vector<std::wstring> AllStrings(IEnumString* e) {
    std::vector<std::wstring> strings;
    LPOLESTR s = nullptr;
    while (e && e->Next(1, &s, nullptr) == S_OK) {
        strings.emplace_back(s ? s : L"");
        CoTaskMemFree(s);
    }
    return strings;
}
