// CObjectInfo: the server's own copy of a driver object's record, with owned strings and an
// owned VARIANT, and the rules for taking it from and handing it to a driver.
#pragma once

#include <windows.h>
#include <string>

#include "driver_abi.h"
#include "variant.h"

struct CObjectInfo {
    std::string name;
    std::string description;
    DWORD id = 0;
    DWORD reserved1 = 0;
    DWORD reserved2 = 0;
    DWORD driverData = 0;
    BOOL visible = FALSE;
    BOOL isTag = FALSE;
    BOOL readOnly = FALSE;
    WORD image = 0;
    WORD treeImage = 0;
    WORD quality = 0;
    Variant value;
    DWORD clients = 0;
    FILETIME timestamp{};
    DWORD reserved3 = 0;

    // Takes what a driver wrote into `raw`: name, description, identifier, driver data,
    // visibility, is-tag and images always; read-only, quality, value, clients and timestamp
    // only for a tag. The driver's strings and VARIANT are freed whatever happens; a value
    // that cannot be copied becomes VT_ERROR holding the failure code.
    void TakeFrom(DLLOBJECTINFO& raw);

    // The record for DLLSetObjectInfo: name and description point into this object (valid
    // while it lives), the value is a copy the driver owns; fields a driver may not change
    // are 0.
    DLLOBJECTINFO ForDriver() const noexcept;
};

// Frees what a driver put into a record and leaves it empty.
void FreeDriverRecord(DLLOBJECTINFO& raw) noexcept;
