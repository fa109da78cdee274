// OPCITEMPROPERTIES as IOPCBrowse gives them, from the property tables of property_looks.h:
// the item's properties, all of them or the ones asked for, with their values or without.
#pragma once

#include <windows.h>

#include "opc.h"
#include "property_looks.h"
#include "reply_budget.h"

struct PropertyRequest {
    bool all = false;  // every property of the item, in listing order; else `ids`
    DWORD count = 0;
    const DWORD* ids = nullptr;
    bool values = false;
};

// Fills `out` (zeroed by the caller) for the item `look` is of. Its hrErrorID: S_OK;
// S_FALSE when a property asked for is not the item's (that property's hrErrorID is
// OPC_E_INVALID_PID); OPC_E_UNKNOWNITEMID for an identifier that names no item, E_FAIL for
// one whose driver did not answer. Throws std::bad_alloc, and then `out` holds only what
// FreeItemProperties frees.
void FillItemProperties(const PropertyLook& look, const PropertyRequest& request,
                        ReplyBudget& budget, OPCITEMPROPERTIES& out);
// Frees what FillItemProperties put into `out` and zeroes it.
void FreeItemProperties(OPCITEMPROPERTIES& out) noexcept;
