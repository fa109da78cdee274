// The address space as a client browses it, and one client's position in it: the root holds
// one branch per loaded driver (its display name), below it the driver's own tree, asked
// afresh from the driver at every call. Objects whose record says "tag" are leaves, the
// others branches. An item identifier is the display name and the object names joined with
// ".". Positions are not looked up when they are set: a position the drivers do not know
// lists nothing (no driver) or the driver's top level (a driver's answer for an unknown path).
//
// Each server object has its own browser. Its position is guarded by a lock of its own, so
// two threads browsing through one server object never see a half-changed position; the
// driver calls are made outside the lock.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "opc.h"
#include "sync.h"

class AddressSpaceBrowser {
  public:
    // A position deeper than this is refused (E_INVALIDARG): no tree is that deep, and a
    // client that keeps moving down must not make the server hold ever more.
    static constexpr size_t kMaxDepth = 1024;

    // "A.B." gives A and B; "A..B" gives A, "" and B; "" gives nothing. Throws std::bad_alloc.
    static std::vector<std::string> SplitPath(const std::string& path);

    // OPC_BROWSE_UP (E_FAIL at the root), OPC_BROWSE_DOWN (one more level named `name`),
    // OPC_BROWSE_TO (`name` split at every "."; "" is the root; a trailing dot adds no level).
    // Any other direction: E_FAIL. Nothing changes on a failure. Throws std::bad_alloc.
    HRESULT ChangePosition(OPCBROWSEDIRECTION direction, const wchar_t* name);

    // The short names of the branches (OPC_BRANCH) or leaves (OPC_LEAF) at the position, in
    // the driver's order; nothing for any other filter type, or for leaves at the root.
    // Throws std::bad_alloc.
    std::vector<std::wstring> Names(OPCBROWSETYPE type) const;

    // Every level of the position followed by ".", then `name`. Throws std::bad_alloc.
    std::wstring ItemId(const wchar_t* name) const;

  private:
    std::vector<std::string> Position() const;  // a copy, taken under the lock

    mutable CriticalSection lock_;
    std::vector<std::string> position_;  // narrow (ANSI) names; the display name first
};
