#include "null_registration.h"

#include "ansi_text.h"
#include "class_catalog.h"
#include "classes_root.h"
#include "null_server_identity.h"

namespace {

constexpr const char* kClassName = "OPC null server for benchmarks";

std::string ClassKey() {
    return "CLSID\\" + WideToAnsi(GuidText(kNullServerClsid));
}

}  // namespace

LONG RegisterNullServer(const std::string& modulePath) {
    const std::string clsid = WideToAnsi(GuidText(kNullServerClsid));
    const std::string progId = kNullServerProgId;
    const std::string independent = kNullServerVersionIndependentProgId;
    LONG r = ERROR_SUCCESS;
    auto set = [&](const std::string& key, const char* name, const std::string& data) {
        if (r == ERROR_SUCCESS) r = SetClassesRootValue(key, name, data);
    };
    // A registration from another build tree is replaced as a whole.
    DeleteClassesRootTree(ClassKey());
    set(progId, nullptr, kClassName);
    set(progId + "\\CLSID", nullptr, clsid);
    set(independent, nullptr, kClassName);
    set(independent + "\\CLSID", nullptr, clsid);
    set(independent + "\\CurVer", nullptr, progId);
    set(ClassKey(), nullptr, kClassName);
    set(ClassKey() + "\\ProgID", nullptr, progId);
    set(ClassKey() + "\\VersionIndependentProgID", nullptr, independent);
    set(ClassKey() + "\\LocalServer32", nullptr, modulePath);
    return r;
}

void UnregisterNullServer() {
    DeleteClassesRootTree(kNullServerProgId);
    DeleteClassesRootTree(kNullServerVersionIndependentProgId);
    DeleteClassesRootTree(ClassKey());
}
