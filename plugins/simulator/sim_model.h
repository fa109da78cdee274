// The simulator's object tree: devices, folders and tags with simulated behaviours.
// Every method is thread-safe: the server calls the unlocked entry points concurrently.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class SimKind : DWORD { Device = 0, Folder = 1, Tag = 2 };

enum class SimBehaviour : DWORD {
    Constant = 0,  // keeps what was configured or written; the only writable behaviour
    Ramp = 1,      // rises from low to high over the period, then starts again
    Sine = 2,      // between low and high, one wave per period
    Random = 3,    // uniform between low and high
    Counter = 4,   // one step per update, from low up to high, then back to low
    Toggle = 5,    // flips every period
};

// What a dialog edits and the stream stores; the rest of an object is runtime state.
struct SimSettings {
    SimKind kind = SimKind::Tag;
    std::string name;
    std::string description;
    VARTYPE type = VT_R8;
    SimBehaviour behaviour = SimBehaviour::Constant;
    double low = 0;
    double high = 100;
    double periodSeconds = 10;
    bool readOnly = false;
    bool offline = false;       // a device whose tags report "not connected"
    std::wstring initialValue;  // the constant value, as text
};

// One object as the driver reports it.
struct SimObjectView {
    DWORD id = 0;
    SimSettings settings;
    VARIANT value{};  // owned by the caller (VariantClear)
    WORD quality = 0;
    FILETIME timestamp{};
    DWORD clients = 0;
    DWORD driverData = 0;
    bool writable = false;
};

// What a tag measures in, as far as the simulator knows it: a range and no units.
struct SimRange {
    bool isTag = false;
    bool known = false;
    double low = 0, high = 0;
};

class SimModel {
  public:
    SimModel();
    ~SimModel();
    SimModel(const SimModel&) = delete;
    SimModel& operator=(const SimModel&) = delete;

    // Creates a child of `parent`; 0 if the name is taken, invalid or the parent cannot
    // hold that kind (tags under a tag are its child tags).
    DWORD Add(DWORD parent, const SimSettings& settings);
    // Replaces an object's settings (its kind stays); false if the new name clashes.
    bool Edit(DWORD id, const SimSettings& settings);
    void Remove(DWORD id);
    void Clear();

    std::vector<std::string> Children(DWORD id, bool tags) const;
    DWORD Find(DWORD parent, const std::string& name) const;
    // A path from the root: "A.B" or ".A.B"; "" is the root.
    DWORD FindPath(const std::string& path) const;
    std::optional<SimObjectView> View(DWORD id) const;
    // What the server asks of an object most often, without copying its settings: `visit`
    // runs under the model's lock with the object's name, description and a view whose
    // settings are left empty (but for the kind). False for an unknown object.
    template <class Visit>
    bool Describe(DWORD id, Visit&& visit) const;
    std::optional<SimSettings> Settings(DWORD id) const;
    std::string RootName() const;
    // The span a numeric tag's value moves in: [low, high] of a ramp, a sine, a random value
    // and a counter. A constant keeps its limits only for the day it is made to move, and a
    // toggle is two states rather than a measure: neither has a range, nor has an array, a
    // text, a date or a flag, nor limits that are no span (low >= high).
    SimRange Range(DWORD id) const;

    // A write from a client: converted to the tag's type; false if refused.
    bool Write(DWORD id, const VARIANT& value);
    // The server's record of an object coming back: its client count and driver data, and
    // its value unless that is VT_EMPTY (written as by Write), in one step. False if the
    // object is unknown or the value refused.
    bool Store(DWORD id, DWORD clients, DWORD driverData, const VARIANT& value);
    // Write for many tags at once, all stamped with one time: taken[i] says whether values[i]
    // went to ids[i]. The number taken.
    LONG WriteMany(DWORD count, const DWORD* ids, const VARIANT* values, BOOL* taken);
    // Adds `delta` to a tag's client count (never below 0); the new count, -1 for no tag.
    LONG ChangeClients(DWORD id, LONG delta);

    // New values, qualities and timestamps for every tag.
    void Update();

    // The versioned stream format. Load keeps the current tree on anything it cannot read.
    std::string Save() const;
    bool Load(const std::string& bytes);

    // The demo tree a new user first sees.
    void BuildDemoTree();

    // Name rules shared with the dialogs: not empty, no '.', not too long.
    static bool ValidName(const std::string& name);

  private:
    struct Object {
        DWORD parent = 0;
        SimSettings settings;
        VARIANT value{};
        WORD quality = 0xC0;
        FILETIME timestamp{};
        DWORD clients = 0;
        DWORD driverData = 0;
        DWORD step = 0;
        std::vector<DWORD> children;
        // The children by name: a lookup in a folder of thousands of tags stays cheap.
        std::map<std::string, DWORD, std::less<>> childByName;
    };

    DWORD AddLocked(DWORD parent, const SimSettings& settings);
    void RemoveLocked(DWORD id);
    DWORD FindLocked(DWORD parent, std::string_view name) const;
    // An object's state without its settings (but for the kind); the value is the caller's.
    static SimObjectView StateView(DWORD id, const Object& o);
    // Write with the model's lock held.
    static bool WriteLocked(Object& o, const VARIANT& value, const FILETIME& now);
    void ResetValue(Object& object);
    void Simulate(Object& object, double seconds, bool offline);
    bool Offline(DWORD id) const;

    mutable std::mutex mutex_;
    std::map<DWORD, Object> objects_;  // 0 is the root
    DWORD nextId_ = 1;
    DWORD startTick_;
    unsigned random_ = 12345;
};

// The type names shown in the dialogs and used in the stream (English, as OPC tools show them).
const wchar_t* SimTypeName(VARTYPE type);
const std::vector<VARTYPE>& SimTypes();

template <class Visit>
bool SimModel::Describe(DWORD id, Visit&& visit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end()) return false;
    const Object& o = p->second;
    const SimObjectView view = StateView(id, o);
    if (id == 0)
        visit(RootName(), o.settings.description, view);
    else
        visit(o.settings.name, o.settings.description, view);
    return true;
}
