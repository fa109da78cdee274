#include "item_properties_reply.h"

#include <string>
#include <vector>

#include "ansi_text.h"
#include "co_task_mem.h"

namespace {

void FillProperty(const ItemProperty& p, bool withValue, ReplyBudget& budget,
                  OPCITEMPROPERTY& out) {
    out.dwPropertyID = p.id;
    out.vtDataType = p.value.Type();
    const std::wstring description = AnsiToWide(p.description);
    budget.SpendString(description.c_str());
    out.szDescription = CoTaskStrDup(description.c_str());
    // Only a property a client can add as an item has an identifier of its own, as
    // LookupItemIDs says.
    if (!p.itemId.empty()) {
        budget.SpendString(p.itemId.c_str());
        out.szItemID = CoTaskStrDup(p.itemId.c_str());
    }
    budget.Spend(sizeof(OPCITEMPROPERTY));
    if (!withValue) return;
    budget.SpendValue(*p.value.Get());
    out.hrErrorID = p.value.CopyTo(&out.vValue);
    if (out.hrErrorID == E_OUTOFMEMORY) throw std::bad_alloc();
}

}  // namespace

void FillItemProperties(const PropertyLook& look, const PropertyRequest& request,
                        ReplyBudget& budget, OPCITEMPROPERTIES& out) {
    if (look.look == Look::kUnanswered) {
        out.hrErrorID = E_FAIL;
        return;
    }
    if (look.look == Look::kNoTag) {
        out.hrErrorID = OPC_E_UNKNOWNITEMID;
        return;
    }
    std::vector<const ItemProperty*> wanted;
    if (request.all) {
        wanted = look.table.List();
    } else {
        wanted.reserve(request.count);
        for (DWORD i = 0; i < request.count; ++i) wanted.push_back(look.table.Find(request.ids[i]));
    }
    if (wanted.empty()) return;
    CoTaskArray<OPCITEMPROPERTY> properties(wanted.size());  // zeroed: every value VT_EMPTY
    out.dwNumProperties = static_cast<DWORD>(wanted.size());
    out.pItemProperties = properties.Detach();  // freed by FreeItemProperties from now on
    for (size_t i = 0; i < wanted.size(); ++i) {
        OPCITEMPROPERTY& p = out.pItemProperties[i];
        if (!wanted[i]) {
            p.dwPropertyID = request.ids[i];
            p.hrErrorID = OPC_E_INVALID_PID;
            out.hrErrorID = S_FALSE;
            budget.Spend(sizeof(OPCITEMPROPERTY));
            continue;
        }
        FillProperty(*wanted[i], request.values, budget, p);
        if (FAILED(p.hrErrorID)) out.hrErrorID = S_FALSE;
    }
}

void FreeItemProperties(OPCITEMPROPERTIES& out) noexcept {
    for (DWORD i = 0; out.pItemProperties && i < out.dwNumProperties; ++i) {
        OPCITEMPROPERTY& p = out.pItemProperties[i];
        CoTaskMemFree(p.szItemID);
        CoTaskMemFree(p.szDescription);
        VariantClear(&p.vValue);
    }
    CoTaskMemFree(out.pItemProperties);
    out = OPCITEMPROPERTIES{};
}
