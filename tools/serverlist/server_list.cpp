#include "server_list.h"

#include <vector>

#include "class_catalog.h"
#include "co_task_mem.h"
#include "com_call.h"
#include "guid_enumerators.h"

namespace {

// The matching classes' CLSIDs; E_INVALIDARG for a list that is missing although counted.
HRESULT MatchingClasses(ULONG cImplemented, const CATID* implemented, ULONG cRequired,
                        const CATID* required, std::vector<GUID>& clsids) {
    if ((cImplemented && !implemented) || (cRequired && !required)) return E_INVALIDARG;
    const std::vector<GUID> impl(implemented, implemented + cImplemented);
    const std::vector<GUID> req(required, required + cRequired);
    for (const RegisteredClass& c : ClassesOfCategories(impl, req)) clsids.push_back(c.clsid);
    return S_OK;
}

template <class Enum>
HRESULT EnumerateInto(ULONG cImplemented, const CATID* implemented, ULONG cRequired,
                      const CATID* required, typename Enum::Interface** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    return ComCall([&] {
        std::vector<GUID> clsids;
        RETURN_IF_FAILED(MatchingClasses(cImplemented, implemented, cRequired, required, clsids));
        return Enum::CreateInto(std::move(clsids), nullptr, out);
    });
}

// Up to three strings of a class; every out-parameter null and nothing allocated on failure.
HRESULT ClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType,
                     LPOLESTR* versionIndependentProgId) noexcept {
    LPOLESTR* outs[] = {progId, userType, versionIndependentProgId};
    for (LPOLESTR* out : outs)
        if (out) *out = nullptr;
    if (!progId || !userType) return E_POINTER;
    return ComCall([&] {
        const std::optional<RegisteredClass> c = FindRegisteredClass(clsid);
        if (!c) return REGDB_E_CLASSNOTREG;
        CoTaskString texts[] = {CoTaskString(c->progId.c_str()), CoTaskString(c->userType.c_str()),
                                CoTaskString(c->versionIndependentProgId.c_str())};
        for (size_t i = 0; i < 3; ++i)
            if (outs[i]) *outs[i] = texts[i].Detach();
        return S_OK;
    });
}

}  // namespace

STDMETHODIMP OPCServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[],
                                                    ULONG cRequired, CATID rgcatidReq[],
                                                    IEnumGUID** ppenumClsid) {
    return EnumerateInto<EnumGuid>(cImplemented, rgcatidImpl, cRequired, rgcatidReq, ppenumClsid);
}

STDMETHODIMP OPCServerList::GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                            LPOLESTR* ppszUserType) {
    return ClassDetails(clsid, ppszProgID, ppszUserType, nullptr);
}

STDMETHODIMP OPCServerList::CLSIDFromProgID(LPCOLESTR szProgId, LPCLSID clsid) {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_NULL;
    if (!szProgId) return E_INVALIDARG;
    return ComCall([&] {
        const std::optional<CLSID> found = FindProgIdClass(szProgId);
        if (!found) return REGDB_E_CLASSNOTREG;
        *clsid = *found;
        return S_OK;
    });
}

STDMETHODIMP OPCServerList::EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[],
                                                    ULONG cRequired, CATID rgcatidReq[],
                                                    IOPCEnumGUID** ppenumClsid) {
    return EnumerateInto<OpcEnumGuid>(cImplemented, rgcatidImpl, cRequired, rgcatidReq,
                                      ppenumClsid);
}

STDMETHODIMP OPCServerList::GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                            LPOLESTR* ppszUserType, LPOLESTR* ppszVerIndProgID) {
    if (!ppszVerIndProgID) {
        if (ppszProgID) *ppszProgID = nullptr;
        if (ppszUserType) *ppszUserType = nullptr;
        return E_POINTER;
    }
    return ClassDetails(clsid, ppszProgID, ppszUserType, ppszVerIndProgID);
}
