#include "public_groups.h"

PublicGroupList& PublicGroups() {
    static PublicGroupList list;
    return list;
}

void ReleasePublicGroups() noexcept {
    PublicGroupList& list = PublicGroups();
    for (;;) {
        ComPtr<COPCGroup> group;
        {
            CriticalSectionLock lock(list.lock);
            if (!list.groups.Remove(list.groups.FirstHandle(), group)) return;
        }
        // Released outside the lock: a group's end waits for its running update cycle.
    }
}
