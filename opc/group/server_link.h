// What a group needs of the server object that created it, and the link through which it
// reaches it.
//
// A group can outlive its server (a client still holds it, or it is public). The link is
// shared by the server and its groups; the server cuts it first thing when it is destroyed,
// waiting for a call that is using it, so a group never reaches a freed server: once cut,
// the calls that need the server fail with E_FAIL.
#pragma once

#include <windows.h>

#include "opc.h"
#include "sync.h"

class COPCGroup;

class GroupOwner {
  public:
    // Renames `group` unless a private group of that name exists (its own name included).
    virtual HRESULT RenameGroup(COPCGroup& group, LPCWSTR name) = 0;
    // IOPCServer::AddGroup of the owner (the same method).
    virtual HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD rate,
                                               OPCHANDLE hClientGroup, LONG* timeBias,
                                               FLOAT* deadband, DWORD lcid, OPCHANDLE* hServerGroup,
                                               DWORD* revisedRate, REFIID riid, LPUNKNOWN* unk) = 0;
    // Moves `group` from the owner's private list to the process's public list.
    virtual HRESULT MoveGroupToPublic(COPCGroup& group) = 0;

  protected:
    ~GroupOwner() = default;
};

class ServerLink {
  public:
    explicit ServerLink(GroupOwner* owner) noexcept : owner_(owner) {}
    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    // The owner is going away: from now on Call fails. Waits for a call in progress.
    void Cut() noexcept {
        CriticalSectionLock lock(lock_);
        owner_ = nullptr;
    }

    // Runs `body(owner)` with the owner kept from being destroyed; E_FAIL once cut.
    template <class Body>
    HRESULT Call(Body&& body) {
        CriticalSectionLock lock(lock_);
        if (!owner_) return E_FAIL;
        return body(*owner_);
    }

  private:
    CriticalSection lock_;
    GroupOwner* owner_;
};
