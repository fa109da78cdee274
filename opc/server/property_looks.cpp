#include "property_looks.h"

#include <map>
#include <memory>
#include <string>

#include "driver_batches.h"
#include "driver_list.h"
#include "opc_item.h"

namespace {

OPCITEMDEF LookDefinition(const wchar_t* itemId) {
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<wchar_t*>(L"");
    def.szItemID = const_cast<wchar_t*>(itemId ? itemId : L"");
    def.vtRequestedDataType = VT_EMPTY;
    return def;
}

// What one driver's piece of work builds: the tables of its tags, by position.
struct DriverShare {
    std::vector<size_t> positions;
    std::vector<std::wstring> ids;
    std::vector<TagLookup> found;
};

}  // namespace

std::vector<PropertyLook> LookAtProperties(const wchar_t* const* itemIds, size_t count) {
    std::vector<PropertyLook> looks(count);
    if (count == 0) return looks;
    std::vector<OPCITEMDEF> defs;
    defs.reserve(count);
    for (size_t i = 0; i < count; ++i) defs.push_back(LookDefinition(itemIds[i]));
    const std::vector<TagLookup> found =
        LookUpTags(*g_drivers.Snapshot(), defs.data(), static_cast<DWORD>(count));

    std::map<CDriver*, DriverShare> shares;
    for (size_t i = 0; i < count; ++i) {
        const TagLookup& f = found[i];
        if (!f.answered) {
            looks[i].look = Look::kUnanswered;
        } else if (f.facts.isTag) {
            DriverShare& share = shares[f.driver.get()];
            share.positions.push_back(i);
            share.ids.emplace_back(defs[i].szItemID);
            share.found.push_back(f);
            looks[i].look = Look::kTag;
        } else {
            OPCItem record;
            record.Bind(f, nullptr);
            looks[i].table = record.BuildProperties();  // no tag: nothing to ask the driver
        }
    }

    // Every driver's work is begun before any is waited for.
    struct Pending {
        const DriverShare* share;
        DriverCall<std::vector<ItemProperties>> call;
    };
    std::vector<Pending> pending;
    for (auto& [driver, share] : shares) {
        pending.push_back(
            Pending{&share, share.found.front().driver->Begin<std::vector<ItemProperties>>(
                                [ids = share.ids, found = share.found](CDriver&) {
                                    std::vector<ItemProperties> tables;
                                    tables.reserve(ids.size());
                                    for (size_t k = 0; k < ids.size(); ++k) {
                                        OPCItem record;
                                        record.Bind(found[k], nullptr);
                                        record.ApplyForLook(LookDefinition(ids[k].c_str()));
                                        tables.push_back(record.BuildProperties());
                                    }
                                    return tables;
                                })});
    }
    for (Pending& p : pending) {
        if (!p.call.Wait(CDriver::WaitLimit())) {
            for (size_t position : p.share->positions) looks[position].look = Look::kUnanswered;
            continue;
        }
        std::vector<ItemProperties>& tables = p.call.Result();
        for (size_t k = 0; k < tables.size(); ++k)
            looks[p.share->positions[k]].table = std::move(tables[k]);
    }
    return looks;
}
