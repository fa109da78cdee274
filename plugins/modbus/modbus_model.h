// The Modbus TCP driver's object tree: devices under the root, folders and tags under a device
// or a folder, with what the device last answered for each tag. Thread-safe: the server calls
// the unlocked entry points concurrently, and every device's poll worker posts its readings.
// A worker's readings wait in a mailbox until DLLUpdate hands them over, so the server sees
// values change only on its own update.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modbus_settings.h"

namespace modbus {

enum class Kind : uint8_t { kDevice = 0, kFolder = 1, kTag = 2 };

// Qualities the driver gives its tags.
constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityConfigError = 0x04;  // the device refused the tag's address
constexpr WORD kQualityCommFailure = 0x18;  // no answer, or no connection
constexpr WORD kQualityWaiting = 0x20;      // not read yet

// What a dialog edits and the stream stores. `device` is used by a device, `tag` by a tag;
// their names follow `name`.
struct ObjectSettings {
    Kind kind = Kind::kTag;
    std::string name;
    std::string description;
    DeviceSettings device;
    TagSettings tag;
};

// A value owned by whoever holds it.
class OwnedVariant {
  public:
    OwnedVariant() { VariantInit(&v_); }
    ~OwnedVariant() { VariantClear(&v_); }
    OwnedVariant(const OwnedVariant& other) : OwnedVariant() {
        VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
    }
    OwnedVariant& operator=(const OwnedVariant& other) {
        if (this != &other) VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
        return *this;
    }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }

  private:
    VARIANT v_;
};

// One tag's outcome of a poll.
struct Reading {
    DWORD tag = 0;
    OwnedVariant value;
    WORD quality = kQualityGood;
    FILETIME timestamp{};
    bool keepValue = false;  // a failure: the last value and its timestamp stay
};

// What a device's worker needs for one poll.
struct PolledTag {
    DWORD id = 0;
    TagSettings settings;
    bool alone = false;  // its address was refused once: read on its own, never merged
};

struct PollPlan {
    uint64_t generation = 0;  // of the tree: readings of an older tree are dropped
    DeviceSettings device;
    std::vector<PolledTag> tags;
};

// One object as the driver reports it.
struct ObjectView {
    Kind kind = Kind::kTag;
    const std::string* name = nullptr;
    const std::string* description = nullptr;
    const TagSettings* tag = nullptr;
    const VARIANT* value = nullptr;
    WORD quality = kQualityWaiting;
    FILETIME timestamp{};
    DWORD clients = 0;
    DWORD driverData = 0;
    bool away = false;  // a device whose last poll got no answer
};

class Model {
  public:
    Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Creates a child of `parent`: a device under the root, a folder or tag under a device
    // or folder. 0 when the settings are refused (see Check) or the parent cannot hold it.
    DWORD Add(DWORD parent, const ObjectSettings& settings);
    // Replaces an object's settings (its kind stays); false if refused.
    bool Edit(DWORD id, const ObjectSettings& settings);
    void Remove(DWORD id);
    void Clear();
    // Why these settings cannot be taken for a child of `parent` (or for `id`, when editing),
    // in one Russian sentence; empty when they can.
    std::wstring Check(DWORD parent, DWORD id, const ObjectSettings& settings) const;

    std::vector<std::string> Children(DWORD id, bool tags) const;
    DWORD Find(DWORD parent, std::string_view name) const;
    // "Device.Folder.Tag" or ".Device.Folder.Tag" from the root; "" is the root.
    DWORD FindPath(std::string_view path) const;
    std::optional<ObjectSettings> Settings(DWORD id) const;
    std::optional<Kind> KindOf(DWORD id) const;
    // The device an object belongs to (itself for a device); 0 for none.
    DWORD DeviceOf(DWORD id) const;
    std::vector<DWORD> Devices() const;
    // `visit(const ObjectView&)` under the model's lock; false for an unknown object.
    template <class Visit>
    bool Describe(DWORD id, Visit&& visit) const;

    void SetClients(DWORD id, DWORD clients, DWORD driverData);
    LONG ChangeClients(DWORD id, LONG delta);

    // The device's settings and tags; nothing once the device is gone.
    std::optional<PollPlan> PlanOf(DWORD device) const;
    // A worker's readings, kept until HandOver; a later reading of a tag replaces an earlier.
    void Post(uint64_t generation, std::vector<Reading>&& readings);
    // Every posted reading becomes the tags' value, quality and timestamp.
    void HandOver();
    // A confirmed write: the tag shows the written value at once.
    void Show(Reading&& reading);
    void ReadAlone(DWORD tag);
    // Whether a device answered its last poll (shown in the configurator's tree).
    void SetAway(DWORD device, bool away);

    // The versioned stream; Load keeps the current tree on anything it cannot read.
    std::string Save() const;
    bool Load(const std::string& bytes);

    // One example device on this computer with a few tags of every kind.
    void BuildExample();

    static constexpr const char* kRootName = "Modbus";

  private:
    struct Object {
        DWORD parent = 0;
        ObjectSettings settings;
        OwnedVariant value;
        WORD quality = kQualityWaiting;
        FILETIME timestamp{};
        DWORD clients = 0;
        DWORD driverData = 0;
        bool alone = false;
        bool away = false;
        std::vector<DWORD> children;
        std::map<std::string, DWORD, std::less<>> childByName;
    };

    DWORD AddLocked(DWORD parent, const ObjectSettings& settings);
    void RemoveLocked(DWORD id);
    DWORD FindLocked(DWORD parent, std::string_view name) const;
    // `stored`: the object comes from a saved configuration, which loads whole even where
    // today's dialogs would refuse a name (a user's "_Diagnostics" saved before it was taken).
    std::wstring CheckLocked(DWORD parent, DWORD id, const ObjectSettings& settings,
                             bool stored = false) const;
    void ApplyLocked(Reading& reading);
    void CollectTags(DWORD id, std::vector<PolledTag>& out) const;

    mutable std::mutex mutex_;
    std::map<DWORD, Object> objects_{{0, Object{}}};  // 0 is the root
    DWORD nextId_ = 1;
    uint64_t generation_ = 0;  // counts Load and Clear: ids are given out afresh
    std::map<DWORD, Reading> mailbox_;
};

// Follows "A.B.C" or ".A.B.C" from the root, one `find(parent, name)` a name; 0 when a
// name is not found.
template <class Find>
DWORD FollowPath(std::string_view path, Find&& find) {
    if (!path.empty() && path.front() == '.') path.remove_prefix(1);
    DWORD id = 0;
    while (!path.empty()) {
        const size_t dot = path.find('.');
        id = find(id, path.substr(0, dot));
        if (id == 0) return 0;
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    }
    return id;
}

const wchar_t* TypeName(DataType type);
const wchar_t* TableName(Table table);

template <class Visit>
bool Model::Describe(DWORD id, Visit&& visit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end()) return false;
    static const std::string root = kRootName;
    const Object& o = p->second;
    ObjectView view;
    view.kind = id == 0 ? Kind::kFolder : o.settings.kind;
    view.name = id == 0 ? &root : &o.settings.name;
    view.description = &o.settings.description;
    view.tag = &o.settings.tag;
    view.value = o.value.get();
    view.quality = o.quality;
    view.timestamp = o.timestamp;
    view.clients = o.clients;
    view.driverData = o.driverData;
    view.away = o.away;
    visit(view);
    return true;
}

}  // namespace modbus
