// Item property tables for item identifiers, as IOPCItemProperties and IOPCBrowse report
// them: each identifier gets a temporary item record, read from its driver when it names a
// tag, whose table is taken and the record dropped. The records never count as clients of
// their tags. Many identifiers cost one lookup and one piece of work per driver, so a
// browse of a branch of thousands of tags with their properties waits for each driver once.
#pragma once

#include <windows.h>
#include <vector>

#include "item_properties.h"

enum class Look { kTag, kNoTag, kUnanswered };

struct PropertyLook {
    Look look = Look::kNoTag;
    // For a tag its full table; for anything else the standard properties a record bound to
    // nothing has; empty when the driver did not answer in time.
    ItemProperties table;
};

// One per identifier, in their order (a null identifier is ""). Throws std::bad_alloc.
std::vector<PropertyLook> LookAtProperties(const wchar_t* const* itemIds, size_t count);
