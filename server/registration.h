// The server's COM registration: the AppID, the server class with its ProgIDs and OPC
// categories, and the type library, written and removed by code (the same entries an ATL
// registry script would write; keys marked as kept survive removal).
#pragma once

#include <windows.h>
#include <string>

// The "Module" value: the executable's full path in short form (the long one when there is
// no short form).
std::string ModuleRegistrationPath(HMODULE module);

// Writes every entry; `modulePath` goes to LocalServer32, `typeLibraryPath` is the file that
// holds the type library (the executable; a ".tlb" beside it is tried too).
HRESULT RegisterServer(const std::string& modulePath, const std::string& typeLibraryPath);
// Removes the entries (the "AppID" and "CLSID" keys themselves are kept).
HRESULT UnregisterServer(const std::string& typeLibraryPath);
