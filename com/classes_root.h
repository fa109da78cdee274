// Writes under HKEY_CLASSES_ROOT, in the process's own registry view, for the registrations
// of our executables (/RegServer, /UnregServer).
#pragma once

#include <windows.h>
#include <string>

// One string value; a null name is the key's default value. The key is created as needed.
LONG SetClassesRootValue(const std::string& key, const char* name, const std::string& data);
// An empty key (and its parents).
LONG CreateClassesRootKey(const std::string& key);
// The key with everything below it; a missing key is no failure.
void DeleteClassesRootTree(const std::string& key);
