// The process-wide list of public groups, shared by every server object. A group enters it
// through MoveToPublic and leaves through RemovePublicGroup (or at process exit); the list
// holds one reference to each group.
#pragma once

#include "com_ptr.h"
#include "opc_group.h"
#include "pooled_list.h"
#include "sync.h"

struct PublicGroupList {
    // Lock order: a server's own list lock first, then this one, then a group's state lock.
    CriticalSection lock;
    PooledList<ComPtr<COPCGroup>> groups;
};

PublicGroupList& PublicGroups();

// Process exit: the list lets go of every public group (before the drivers are unloaded).
void ReleasePublicGroups() noexcept;
