#include "registration.h"

#include <oleauto.h>
#include <vector>

#include "ansi_text.h"
#include "classes_root.h"
#include "server_identity.h"

namespace {

constexpr const char* kServerName = "OPCServerVEXA";
constexpr const char* kExeName = "OPCServerVEXA.EXE";
constexpr const char* kClassDescription = "OPCServerVEXA DA OPCServer";
constexpr const char* kVendor = "VEXA";
constexpr const char* kCategoryDa10 = "{63D5F430-CFE4-11d1-B2C8-0060083BA1FB}";
constexpr const char* kCategoryDa20 = "{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}";
constexpr const char* kCategoryDa30 = "{CC603642-66D7-48f1-B69A-B625E73652D7}";

std::string ClassKey() {
    return std::string("CLSID\\") + kServerClsidText;
}

// The type library from the file, or from the ".tlb" beside it.
ITypeLib* LoadServerTypeLibrary(const std::string& path, std::wstring& loadedFrom) {
    ITypeLib* library = nullptr;
    loadedFrom = AnsiToWide(path);
    if (SUCCEEDED(LoadTypeLibEx(loadedFrom.c_str(), REGKIND_NONE, &library))) return library;
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('\\');
    std::string tlb = (dot != std::string::npos && (slash == std::string::npos || dot > slash)
                           ? path.substr(0, dot)
                           : path) +
                      ".tlb";
    loadedFrom = AnsiToWide(tlb);
    if (SUCCEEDED(LoadTypeLibEx(loadedFrom.c_str(), REGKIND_NONE, &library))) return library;
    return nullptr;
}

}  // namespace

std::string ModuleRegistrationPath(HMODULE module) {
    const std::string longPath = ModuleFileName(module);
    const std::string shortPath = ShortPathName(longPath);
    return shortPath.empty() ? longPath : shortPath;
}

HRESULT RegisterServer(const std::string& modulePath, const std::string& typeLibraryPath) {
    const std::string appIdKey = std::string("AppID\\") + kServerAppIdText;
    const std::string classKey = ClassKey();
    LONG r = ERROR_SUCCESS;
    auto set = [&](const std::string& key, const char* name, const std::string& data) {
        if (r == ERROR_SUCCESS) r = SetClassesRootValue(key, name, data);
    };
    set(appIdKey, nullptr, kServerName);
    set(std::string("AppID\\") + kExeName, "AppID", kServerAppIdText);

    set(kServerVersionedProgId, nullptr, kClassDescription);
    set(std::string(kServerVersionedProgId) + "\\CLSID", nullptr, kServerClsidText);
    set(kServerProgId, nullptr, kClassDescription);
    set(std::string(kServerProgId) + "\\OPC\\Vendor", nullptr, kVendor);
    set(std::string(kServerProgId) + "\\CLSID", nullptr, kServerClsidText);
    set(std::string(kServerProgId) + "\\CurVer", nullptr, kServerVersionedProgId);
    // The class key is replaced as a whole, so nothing of an older registration survives.
    DeleteClassesRootTree(classKey);
    set(classKey, nullptr, kClassDescription);
    set(classKey + "\\ProgID", nullptr, kServerVersionedProgId);
    set(classKey + "\\VersionIndependentProgID", nullptr, kServerProgId);
    set(classKey + "\\LocalServer32", nullptr, modulePath);
    set(classKey, "AppID", kServerAppIdText);
    set(classKey + "\\TypeLib", nullptr, kServerLibIdText);
    if (r == ERROR_SUCCESS)
        r = CreateClassesRootKey(classKey + "\\Implemented Categories\\" + kCategoryDa10);
    if (r == ERROR_SUCCESS)
        r = CreateClassesRootKey(classKey + "\\Implemented Categories\\" + kCategoryDa20);
    if (r == ERROR_SUCCESS)
        r = CreateClassesRootKey(classKey + "\\Implemented Categories\\" + kCategoryDa30);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);

    std::wstring from;
    ITypeLib* library = LoadServerTypeLibrary(typeLibraryPath, from);
    if (!library) return TYPE_E_CANTLOADLIBRARY;
    std::wstring directory = from.substr(0, from.find_last_of(L'\\'));
    HRESULT hr = RegisterTypeLib(library, const_cast<OLECHAR*>(from.c_str()),
                                 const_cast<OLECHAR*>(directory.c_str()));
    library->Release();
    return hr;
}

HRESULT UnregisterServer(const std::string& typeLibraryPath) {
    DeleteClassesRootTree(std::string("AppID\\") + kServerAppIdText);
    DeleteClassesRootTree(std::string("AppID\\") + kExeName);
    DeleteClassesRootTree(kServerVersionedProgId);
    DeleteClassesRootTree(kServerProgId);
    DeleteClassesRootTree(ClassKey());

    std::wstring from;
    ITypeLib* library = LoadServerTypeLibrary(typeLibraryPath, from);
    if (!library) return S_OK;
    TLIBATTR* attributes = nullptr;
    if (SUCCEEDED(library->GetLibAttr(&attributes))) {
        using UnRegisterProc = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
        HMODULE oleaut = GetModuleHandleA("oleaut32.dll");
        auto unregister = oleaut ? reinterpret_cast<UnRegisterProc>(reinterpret_cast<void*>(
                                       GetProcAddress(oleaut, "UnRegisterTypeLib")))
                                 : nullptr;
        // A library that was not registered is no failure of the removal.
        if (unregister)
            unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                       attributes->lcid, attributes->syskind);
        library->ReleaseTLibAttr(attributes);
    }
    library->Release();
    return S_OK;
}
