// An item's property table: id → description and id → value, listed the way clients of this
// server have always seen it: 17 slots, id in slot (id / 16) mod 17, the newest entry first
// within a slot, slots from 0 upwards. So ids 1–6 list as 6, 5, 4, 3, 2, 1, and ids from 16
// on follow id 1, each run of sixteen again highest first.
#pragma once

#include <windows.h>
#include <array>
#include <string>
#include <vector>

#include "variant.h"

struct ItemProperty {
    DWORD id;
    std::string description;
    Variant value;
};

class ItemProperties {
  public:
    static constexpr size_t kSlots = 17;

    // Adds or replaces. Throws std::bad_alloc.
    void Set(DWORD id, std::string description, Variant value);
    const ItemProperty* Find(DWORD id) const noexcept;
    // In listing order.
    std::vector<const ItemProperty*> List() const;
    void Clear() noexcept;

  private:
    static size_t SlotOf(DWORD id) noexcept { return (id / 16) % kSlots; }
    std::array<std::vector<ItemProperty>, kSlots> slots_;  // newest last; listed backwards
};
