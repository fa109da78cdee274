// What IOPCBrowse::Browse hands a client, owned: the elements with their names, identifiers
// and properties, freed together.
#pragma once

#include <windows.h>
#include <memory>

#include "opc.h"

struct BrowseElementsFree {
    DWORD count = 0;
    void operator()(OPCBROWSEELEMENT* elements) const noexcept;
};
using BrowseElements = std::unique_ptr<OPCBROWSEELEMENT[], BrowseElementsFree>;

inline BrowseElements OwnBrowseElements(OPCBROWSEELEMENT* elements, DWORD count) {
    return BrowseElements(elements, BrowseElementsFree{count});
}
