// The registration of our server list under the standard CLSID and ProgIDs. The standard
// class belongs to whoever installed it first: ours is written only where no other server
// list is registered (in either registry view), and removed only where it is ours, so the OPC
// Foundation's own server list is never replaced nor taken away.
#pragma once

#include <windows.h>
#include <string>

enum class ServerListRegistration {
    Registered,      // ours is registered now
    ForeignPresent,  // another server list is registered: nothing was written or removed
    NotRegistered,   // nothing of ours was there to remove
    Removed,         // ours was removed
    Failed,          // the registry refused a write
};

// Writes the class (LocalServer32 = `modulePath`), its ProgIDs and AppID, marked as ours.
ServerListRegistration RegisterServerList(const std::string& modulePath);
// Removes the class, ProgIDs and AppID if the registration is ours.
ServerListRegistration UnregisterServerList();

// One line for the person who ran the switch.
const char* RegistrationText(ServerListRegistration outcome);
