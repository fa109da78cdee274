// An item's property table: id → description and id → value, listed the way clients of this
// server have always seen it: 17 slots, id in slot (id / 16) mod 17, the newest entry first
// within a slot, slots from 0 upwards. So ids 1–8 list as 8, 7, 6, 5, 4, 3, 2, 1; the child
// tags (kFirstChildTagProperty on) follow id 1, the first eight as 5007 ... 5000 (5000 shares
// its run of sixteen with 4992), then 101 and 100, which share that slot and came before them,
// then each further run of sixteen highest first (5023 ... 5008, and so on). From the 169th
// child tag (5168) the runs come round to slot 0 again and list before the standard ids.
#pragma once

#include <windows.h>
#include <array>
#include <string>
#include <vector>

#include "variant.h"

// IDs below 5000 are the OPC standard's, and clients read some of them by number (7 is the EU
// type, 8 the EU info, which HMIs and historians use to scale trends); a server's own
// properties start at 5000. A tag's child tags are ours.
constexpr DWORD kFirstChildTagProperty = 5000;

struct ItemProperty {
    DWORD id;
    std::string description;
    Variant value;
    // What a client can add to reach the property as an item of its own; empty for one that
    // is read through its item only (the item's own attributes, a child that is no tag).
    std::wstring itemId;
};

class ItemProperties {
  public:
    static constexpr size_t kSlots = 17;

    // Adds or replaces. Throws std::bad_alloc.
    void Set(DWORD id, std::string description, Variant value, std::wstring itemId = {});
    const ItemProperty* Find(DWORD id) const noexcept;
    // In listing order.
    std::vector<const ItemProperty*> List() const;
    void Clear() noexcept;

  private:
    static size_t SlotOf(DWORD id) noexcept { return (id / 16) % kSlots; }
    std::array<std::vector<ItemProperty>, kSlots> slots_;  // newest last; listed backwards
};
