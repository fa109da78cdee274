// The null server's class and ProgIDs under HKEY_CLASSES_ROOT, written by "/RegServer" and
// removed by "/UnregServer". The class key names its LocalServer32 and nothing else: no
// component categories, no type library.
#pragma once

#include <windows.h>
#include <string>

// ERROR_SUCCESS, or the registry's code for the first write it refused.
LONG RegisterNullServer(const std::string& modulePath);
void UnregisterNullServer();
