// The children of one branch of the address space as IOPCBrowse::Browse shows them: the
// root's are the loaded drivers, below that the driver's objects at the branch, each with
// its fully qualified identifier (the branch's, ".", its name) and what it is. A tag is an
// item; a tag with child tags, or an object with objects or tags below it, has children. A
// branch is listed with one piece of its driver's work, whatever its size.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "driver_list.h"
#include "name_filter.h"
#include "opc.h"

struct BrowseElement {
    std::wstring name;
    std::wstring itemId;
    DWORD flags = 0;  // OPC_BROWSE_HASCHILDREN, OPC_BROWSE_ISITEM
};

// The elements below `itemId` ("" for the root) whose names pass `names` and that `filter`
// asks for (branches: elements with children; items: elements that are items), in the
// driver's order, from the drivers of `drivers`. OPC_E_UNKNOWNITEMID for an identifier that
// names nothing; E_FAIL when the driver did not answer in time. A tag without child tags
// lists nothing. Throws std::bad_alloc.
HRESULT ListBranch(const DriverLists& drivers, const std::wstring& itemId, OPCBROWSEFILTER filter,
                   const NameFilter& names, std::vector<BrowseElement>& elements);
