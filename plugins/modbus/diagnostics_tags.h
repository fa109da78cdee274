// The read-only tags in every device's "_Diagnostics" folder: what the device's link has
// done, as OPC clients and the configurator see it. They are not objects of the model (not in
// the stream, not editable, never exported): their identifiers are made from the device's, in
// a range the model never gives out, so they need no bookkeeping beyond their client counts.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "link_counters.h"
#include "modbus_model.h"

namespace modbus {

class DiagnosticTags {
  public:
    static constexpr const char* kFolderName = "_Diagnostics";

    explicit DiagnosticTags(const Model& model) : model_(model) {}

    // Whether `id` lies in the diagnostics' range (the object may be gone all the same).
    static bool Owns(DWORD id) { return (id & kMark) != 0; }
    // A user's folder or tag may not take the folder's name.
    static bool Reserved(std::string_view name) { return name == kFolderName; }

    // The child `name` of `parent`, the model's or ours (a device's folder, a folder's tag).
    DWORD Find(DWORD parent, std::string_view name) const;
    // A path from the root, through the folder as through any other ("PLC1._Diagnostics.X").
    DWORD FindPath(std::string_view path) const;
    // What a device lists besides its own children (the folder), or a folder's tags.
    std::vector<std::string> Children(DWORD id, bool tags) const;

    // The device an identifier of ours belongs to, 0 when the device is gone or it is none.
    DWORD DeviceOf(DWORD id) const;
    bool IsFolder(DWORD id) const { return DeviceOf(id) != 0 && (id & kIndexMask) == 0; }
    bool IsTag(DWORD id) const { return DeviceOf(id) != 0 && (id & kIndexMask) != 0; }

    std::string NameOf(DWORD id) const;
    std::string DescriptionOf(DWORD id) const;
    // The tag's value from the device's counters, with the type it always has.
    static void Value(DWORD id, const LinkCounters& counters, VARIANT* value);

    LONG ChangeClients(DWORD id, LONG delta);
    DWORD Clients(DWORD id) const;

  private:
    // Whether `device` is a device that shows the folder.
    bool HasFolder(DWORD device) const;
    static constexpr DWORD kMark = 0x80000000u;
    static constexpr unsigned kIndexBits = 5;
    static constexpr DWORD kIndexMask = (1u << kIndexBits) - 1;
    static DWORD Make(DWORD device, size_t index);

    const Model& model_;
    mutable std::mutex mutex_;
    std::map<DWORD, DWORD> clients_;
};

}  // namespace modbus
