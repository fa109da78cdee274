#include "item_properties.h"

void ItemProperties::Set(DWORD id, std::string description, Variant value, std::wstring itemId) {
    std::vector<ItemProperty>& slot = slots_[SlotOf(id)];
    for (ItemProperty& p : slot) {
        if (p.id == id) {
            p.description = std::move(description);
            p.value = std::move(value);
            p.itemId = std::move(itemId);
            return;
        }
    }
    slot.push_back({id, std::move(description), std::move(value), std::move(itemId)});
}

const ItemProperty* ItemProperties::Find(DWORD id) const noexcept {
    for (const ItemProperty& p : slots_[SlotOf(id)])
        if (p.id == id) return &p;
    return nullptr;
}

std::vector<const ItemProperty*> ItemProperties::List() const {
    std::vector<const ItemProperty*> listed;
    for (const auto& slot : slots_)
        for (auto p = slot.rbegin(); p != slot.rend(); ++p) listed.push_back(&*p);
    return listed;
}

void ItemProperties::Clear() noexcept {
    for (auto& slot : slots_) slot.clear();
}
