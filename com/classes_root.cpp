#include "classes_root.h"

LONG SetClassesRootValue(const std::string& key, const char* name, const std::string& data) {
    HKEY h;
    LONG r = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                             nullptr);
    if (r != ERROR_SUCCESS) return r;
    r = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(data.size() + 1));
    RegCloseKey(h);
    return r;
}

LONG CreateClassesRootKey(const std::string& key) {
    HKEY h;
    LONG r = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                             nullptr);
    if (r == ERROR_SUCCESS) RegCloseKey(h);
    return r;
}

void DeleteClassesRootTree(const std::string& key) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
}
