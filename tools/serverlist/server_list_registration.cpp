#include "server_list_registration.h"

#include "ansi_text.h"
#include "class_catalog.h"
#include "classes_root.h"
#include "opc.h"
#include "server_list_identity.h"
#include "registry_key.h"

namespace {

constexpr const char* kClassName = "OPC Server List";
constexpr const char* kExeName = "opcserverlist.exe";
// A value under the class key that says the registration is ours: it holds the LocalServer32
// we wrote. An installer that later registers its own server list over ours rewrites
// LocalServer32 but may leave this value behind, and then the two differ.
constexpr const char* kOwnerValue = "OPCServerVEXA";

std::string ClassKey() {
    return "CLSID\\" + WideToAnsi(GuidText(CLSID_OpcServerList));
}

std::string AppIdKey() {
    return "AppID\\" + WideToAnsi(GuidText(CLSID_OpcServerList));
}

enum class Holder { Nobody, Us, Someone };

// Who holds the class in one view: a class key without a server is nobody's.
Holder HolderIn(REGSAM view) {
    const RegistryKey classKey(HKEY_CLASSES_ROOT, AnsiToWide(ClassKey()), view);
    if (!classKey) return Holder::Nobody;
    const bool local = classKey.HasSubkey(L"LocalServer32");
    const bool inproc = classKey.HasSubkey(L"InprocServer32");
    if (!local && !inproc) return Holder::Nobody;
    const std::wstring ours = classKey.NamedText(AnsiToWide(kOwnerValue).c_str());
    if (!ours.empty() && !inproc && ours == classKey.Text(L"LocalServer32")) return Holder::Us;
    return Holder::Someone;
}

bool ForeignRegistered() {
    return HolderIn(KEY_WOW64_64KEY) == Holder::Someone ||
           HolderIn(KEY_WOW64_32KEY) == Holder::Someone;
}

// A ProgID key is removed only while it still names the server list's class.
void DeleteProgIdIfOurs(const wchar_t* progId) {
    if (FindProgIdClass(progId) == CLSID_OpcServerList) DeleteClassesRootTree(WideToAnsi(progId));
}

}  // namespace

ServerListRegistration RegisterServerList(const std::string& modulePath) {
    if (ForeignRegistered()) return ServerListRegistration::ForeignPresent;
    const std::string clsid = WideToAnsi(GuidText(CLSID_OpcServerList));
    const std::string progId = WideToAnsi(OPC_SERVER_LIST_PROGID);
    const std::string independent = WideToAnsi(OPC_SERVER_LIST_VERSION_INDEPENDENT_PROGID);
    const std::string classKey = ClassKey();
    LONG r = ERROR_SUCCESS;
    auto set = [&](const std::string& key, const char* name, const std::string& data) {
        if (r == ERROR_SUCCESS) r = SetClassesRootValue(key, name, data);
    };
    set(AppIdKey(), nullptr, kClassName);
    set(std::string("AppID\\") + kExeName, "AppID", clsid);
    set(progId, nullptr, kClassName);
    set(progId + "\\CLSID", nullptr, clsid);
    set(independent, nullptr, kClassName);
    set(independent + "\\CLSID", nullptr, clsid);
    set(independent + "\\CurVer", nullptr, progId);
    // Only our own earlier registration can be here: replace it as a whole.
    DeleteClassesRootTree(classKey);
    set(classKey, nullptr, kClassName);
    set(classKey, "AppID", clsid);
    set(classKey, kOwnerValue, modulePath);
    set(classKey + "\\ProgID", nullptr, progId);
    set(classKey + "\\VersionIndependentProgID", nullptr, independent);
    set(classKey + "\\LocalServer32", nullptr, modulePath);
    return r == ERROR_SUCCESS ? ServerListRegistration::Registered : ServerListRegistration::Failed;
}

ServerListRegistration UnregisterServerList() {
    // Ours lives in this process's own view; the other view is another installation's.
    const REGSAM own = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const bool foreign = ForeignRegistered();
    if (HolderIn(own) != Holder::Us)
        return foreign ? ServerListRegistration::ForeignPresent
                       : ServerListRegistration::NotRegistered;
    // The ProgIDs name the standard class, whoever serves it: they stay while another server
    // list is registered.
    if (!foreign) {
        DeleteProgIdIfOurs(OPC_SERVER_LIST_PROGID);
        DeleteProgIdIfOurs(OPC_SERVER_LIST_VERSION_INDEPENDENT_PROGID);
    }
    DeleteClassesRootTree(std::string("AppID\\") + kExeName);
    DeleteClassesRootTree(AppIdKey());
    DeleteClassesRootTree(ClassKey());
    return ServerListRegistration::Removed;
}

const char* RegistrationText(ServerListRegistration outcome) {
    switch (outcome) {
        case ServerListRegistration::Registered:
            return "opcserverlist: registered as OPC.ServerList.1\n";
        case ServerListRegistration::ForeignPresent:
            return "opcserverlist: another OPC server list is registered; it is left as it is "
                   "and ours is not registered\n";
        case ServerListRegistration::NotRegistered:
            return "opcserverlist: not registered, nothing to remove\n";
        case ServerListRegistration::Removed:
            return "opcserverlist: registration removed\n";
        case ServerListRegistration::Failed:
            break;
    }
    return "opcserverlist: the registry refused the registration\n";
}
