#include "sim_model.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr char kMagic[8] = {'V', 'X', 'S', 'I', 'M', 'C', 'F', 'G'};
constexpr DWORD kFormatVersion = 1;
constexpr DWORD kNoParent = 0xFFFFFFFF;
constexpr size_t kMaxObjects = 100000;
constexpr size_t kMaxText = 4096;
constexpr ULONG kArrayLength = 8;
constexpr LCID kInvariantLocale = 0x409;  // stored values are locale-independent text

constexpr WORD kQualityGood = 0xC0;
constexpr WORD kQualityConfigError = 0x04;
constexpr WORD kQualityNotConnected = 0x08;

std::string Ansi(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// The time to the microsecond where the system has it (Windows 8 on): the older clock moves
// in steps of up to 16 ms, and under Wine it is also the dearer one to read.
void Now(FILETIME* now) {
    using Precise = void(WINAPI*)(FILETIME*);
    static const Precise precise = reinterpret_cast<Precise>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    if (precise)
        precise(now);
    else
        GetSystemTimeAsFileTime(now);
}

bool IsArray(VARTYPE type) {
    return (type & VT_ARRAY) != 0;
}

// Sequential writer and bounds-checked reader of the stream format.
class Writer {
  public:
    template <class T>
    void Put(const T& v) {
        bytes.append(reinterpret_cast<const char*>(&v), sizeof(T));
    }
    void PutText(const std::string& s) {
        Put(static_cast<DWORD>(s.size()));
        bytes += s;
    }
    void PutWide(const std::wstring& s) {
        Put(static_cast<DWORD>(s.size()));
        bytes.append(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(wchar_t));
    }
    std::string bytes;
};

class Reader {
  public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    template <class T>
    bool Get(T& v) {
        if (bytes_.size() - pos_ < sizeof(T)) return false;
        memcpy(&v, bytes_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return true;
    }
    bool GetText(std::string& s) {
        DWORD n = 0;
        if (!Get(n) || n > kMaxText || bytes_.size() - pos_ < n) return false;
        s.assign(bytes_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool GetWide(std::wstring& s) {
        DWORD n = 0;
        if (!Get(n) || n > kMaxText || (bytes_.size() - pos_) / sizeof(wchar_t) < n) return false;
        s.assign(reinterpret_cast<const wchar_t*>(bytes_.data() + pos_), n);
        pos_ += n * sizeof(wchar_t);
        return true;
    }

  private:
    const std::string& bytes_;
    size_t pos_ = 0;
};

bool KnownType(VARTYPE type) {
    for (VARTYPE t : SimTypes())
        if (t == type) return true;
    return false;
}

SAFEARRAY* NewArray(VARTYPE element) {
    return SafeArrayCreateVector(element, 0, kArrayLength);
}

}  // namespace

const std::vector<VARTYPE>& SimTypes() {
    static const std::vector<VARTYPE> types = {VT_I1,
                                               VT_UI1,
                                               VT_I2,
                                               VT_I4,
                                               VT_R4,
                                               VT_R8,
                                               VT_BOOL,
                                               VT_BSTR,
                                               VT_DATE,
                                               static_cast<VARTYPE>(VT_ARRAY | VT_R8),
                                               static_cast<VARTYPE>(VT_ARRAY | VT_I4)};
    return types;
}

const wchar_t* SimTypeName(VARTYPE type) {
    switch (type) {
        case VT_I1:
            return L"VT_I1";
        case VT_UI1:
            return L"VT_UI1";
        case VT_I2:
            return L"VT_I2";
        case VT_I4:
            return L"VT_I4";
        case VT_R4:
            return L"VT_R4";
        case VT_R8:
            return L"VT_R8";
        case VT_BOOL:
            return L"VT_BOOL";
        case VT_BSTR:
            return L"VT_BSTR";
        case VT_DATE:
            return L"VT_DATE";
        case VT_ARRAY | VT_R8:
            return L"VT_ARRAY | VT_R8";
        case VT_ARRAY | VT_I4:
            return L"VT_ARRAY | VT_I4";
    }
    return L"?";
}

SimModel::SimModel() : startTick_(GetTickCount()) {
    Object root;
    root.settings.kind = SimKind::Folder;
    VariantInit(&root.value);
    objects_[0] = root;
}

SimModel::~SimModel() {
    for (auto& entry : objects_) VariantClear(&entry.second.value);
}

bool SimModel::ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.find('.') == std::string::npos;
}

std::string SimModel::RootName() const {
    return Ansi(L"Симулятор");
}

SimObjectView SimModel::StateView(DWORD id, const Object& o) {
    SimObjectView view;
    view.id = id;
    view.settings.kind = o.settings.kind;
    view.settings.offline = o.settings.offline;
    VariantInit(&view.value);
    VariantCopy(&view.value, const_cast<VARIANT*>(&o.value));
    view.quality = o.quality;
    view.timestamp = o.timestamp;
    view.clients = o.clients;
    view.driverData = o.driverData;
    view.writable = o.settings.kind == SimKind::Tag && !o.settings.readOnly &&
                    o.settings.behaviour == SimBehaviour::Constant;
    return view;
}

DWORD SimModel::FindLocked(DWORD parent, std::string_view name) const {
    auto p = objects_.find(parent);
    if (p == objects_.end()) return 0;
    auto child = p->second.childByName.find(name);
    return child == p->second.childByName.end() ? 0 : child->second;
}

void SimModel::ResetValue(Object& object) {
    VariantClear(&object.value);
    const VARTYPE type = object.settings.type;
    if (object.settings.kind != SimKind::Tag) return;
    if (IsArray(type)) {
        object.value.vt = type;
        object.value.parray = NewArray(type & VT_TYPEMASK);
        return;
    }
    if (type == VT_DATE && object.settings.initialValue.empty()) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        object.value.vt = VT_DATE;
        SystemTimeToVariantTime(&now, &object.value.date);
        return;
    }
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(
        object.settings.initialValue.empty() ? L"0" : object.settings.initialValue.c_str());
    if (type == VT_BSTR) {
        VariantCopy(&object.value, &text);
    } else if (FAILED(VariantChangeTypeEx(&object.value, &text, kInvariantLocale, 0, type))) {
        // A constant that does not fit its type: keep the type, flag the configuration.
        VariantInit(&object.value);
        object.value.vt = type;
        object.quality = kQualityConfigError;
    }
    VariantClear(&text);
}

DWORD SimModel::AddLocked(DWORD parent, const SimSettings& settings) {
    auto p = objects_.find(parent);
    if (p == objects_.end() || !ValidName(settings.name) || FindLocked(parent, settings.name))
        return 0;
    const SimKind parentKind = parent == 0 ? SimKind::Folder : p->second.settings.kind;
    // Devices sit at the top; folders in devices and folders; tags anywhere below the top,
    // and under a tag they are its child tags.
    const bool fits = settings.kind == SimKind::Device   ? parent == 0
                      : settings.kind == SimKind::Folder ? parent != 0 && parentKind != SimKind::Tag
                                                         : parent != 0;
    if (!fits || (settings.kind == SimKind::Tag && !KnownType(settings.type))) return 0;
    Object object;
    object.parent = parent;
    object.settings = settings;
    VariantInit(&object.value);
    ResetValue(object);
    Now(&object.timestamp);
    const DWORD id = nextId_++;
    objects_[id] = object;
    objects_[parent].children.push_back(id);
    objects_[parent].childByName.emplace(settings.name, id);
    return id;
}

DWORD SimModel::Add(DWORD parent, const SimSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    return AddLocked(parent, settings);
}

bool SimModel::Edit(DWORD id, const SimSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (id == 0 || p == objects_.end() || !ValidName(settings.name)) return false;
    const DWORD clash = FindLocked(p->second.parent, settings.name);
    if (clash && clash != id) return false;
    Object& object = p->second;
    if (object.settings.kind == SimKind::Tag && !KnownType(settings.type)) return false;
    const SimKind kind = object.settings.kind;
    if (object.settings.name != settings.name) {
        auto& byName = objects_.at(object.parent).childByName;
        byName.erase(object.settings.name);
        byName.emplace(settings.name, id);
    }
    object.settings = settings;
    object.settings.kind = kind;
    object.quality = kQualityGood;
    object.step = 0;
    ResetValue(object);
    return true;
}

void SimModel::RemoveLocked(DWORD id) {
    auto p = objects_.find(id);
    if (id == 0 || p == objects_.end()) return;
    for (DWORD child : std::vector<DWORD>(p->second.children)) RemoveLocked(child);
    Object& parent = objects_[p->second.parent];
    for (auto it = parent.children.begin(); it != parent.children.end(); ++it) {
        if (*it == id) {
            parent.children.erase(it);
            break;
        }
    }
    parent.childByName.erase(p->second.settings.name);
    VariantClear(&p->second.value);
    objects_.erase(p);
}

void SimModel::Remove(DWORD id) {
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveLocked(id);
}

void SimModel::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (DWORD child : std::vector<DWORD>(objects_[0].children)) RemoveLocked(child);
}

std::vector<std::string> SimModel::Children(DWORD id, bool tags) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    auto p = objects_.find(id);
    if (p == objects_.end()) return names;
    for (DWORD child : p->second.children) {
        const Object& o = objects_.at(child);
        if ((o.settings.kind == SimKind::Tag) == tags) names.push_back(o.settings.name);
    }
    return names;
}

DWORD SimModel::Find(DWORD parent, const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FindLocked(parent, name);
}

DWORD SimModel::FindPath(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t start = !path.empty() && path[0] == '.' ? 1 : 0;
    if (start >= path.size()) return 0;
    DWORD id = 0;
    for (;;) {
        const size_t dot = path.find('.', start);
        id = FindLocked(
            id, std::string_view(path).substr(start, dot == std::string::npos ? dot : dot - start));
        if (!id || dot == std::string::npos) return id;
        start = dot + 1;
    }
}

bool SimModel::Offline(DWORD id) const {
    for (DWORD at = id; at != 0;) {
        const Object& o = objects_.at(at);
        if (o.settings.kind == SimKind::Device) return o.settings.offline;
        at = o.parent;
    }
    return false;
}

std::optional<SimObjectView> SimModel::View(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end()) return std::nullopt;
    const Object& o = p->second;
    SimObjectView view = StateView(id, o);
    view.settings = o.settings;
    if (id == 0) view.settings.name = RootName();
    return view;
}

std::optional<SimSettings> SimModel::Settings(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end()) return std::nullopt;
    return p->second.settings;
}

SimRange SimModel::Range(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    SimRange range;
    auto p = objects_.find(id);
    if (p == objects_.end() || p->second.settings.kind != SimKind::Tag) return range;
    range.isTag = true;
    const SimSettings& s = p->second.settings;
    const bool numeric = s.type == VT_I1 || s.type == VT_UI1 || s.type == VT_I2 ||
                         s.type == VT_I4 || s.type == VT_R4 || s.type == VT_R8;
    const bool sweeps = s.behaviour == SimBehaviour::Ramp || s.behaviour == SimBehaviour::Sine ||
                        s.behaviour == SimBehaviour::Random || s.behaviour == SimBehaviour::Counter;
    if (numeric && sweeps && s.low < s.high) {
        range.known = true;
        range.low = s.low;
        range.high = s.high;
    }
    return range;
}

bool SimModel::Write(DWORD id, const VARIANT& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    FILETIME now;
    Now(&now);
    return p != objects_.end() && WriteLocked(p->second, value, now);
}

LONG SimModel::WriteMany(DWORD count, const DWORD* ids, const VARIANT* values, BOOL* taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    FILETIME now;  // values written together share their time
    Now(&now);
    LONG written = 0;
    for (DWORD i = 0; i < count; ++i) {
        auto p = objects_.find(ids[i]);
        taken[i] = p != objects_.end() && WriteLocked(p->second, values[i], now);
        written += taken[i] ? 1 : 0;
    }
    return written;
}

bool SimModel::Store(DWORD id, DWORD clients, DWORD driverData, const VARIANT& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end()) return false;
    p->second.clients = clients;
    p->second.driverData = driverData;
    if (value.vt == VT_EMPTY) return true;
    FILETIME now;
    Now(&now);
    return WriteLocked(p->second, value, now);
}

bool SimModel::WriteLocked(Object& o, const VARIANT& value, const FILETIME& now) {
    if (o.settings.kind != SimKind::Tag || o.settings.readOnly ||
        o.settings.behaviour != SimBehaviour::Constant)
        return false;
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr =
        IsArray(o.settings.type)
            ? (value.vt == o.settings.type ? VariantCopy(&converted, const_cast<VARIANT*>(&value))
                                           : DISP_E_TYPEMISMATCH)
            : VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, o.settings.type);
    if (FAILED(hr)) return false;
    VariantClear(&o.value);
    o.value = converted;
    o.quality = kQualityGood;
    o.timestamp = now;
    return true;
}

LONG SimModel::ChangeClients(DWORD id, LONG delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end() || p->second.settings.kind != SimKind::Tag) return -1;
    const LONGLONG count = static_cast<LONGLONG>(p->second.clients) + delta;
    p->second.clients = count < 0 ? 0 : count > LONG_MAX ? LONG_MAX : static_cast<DWORD>(count);
    return static_cast<LONG>(p->second.clients);
}

void SimModel::Simulate(Object& o, double seconds, bool offline) {
    const SimSettings& s = o.settings;
    if (offline) {
        o.quality = kQualityNotConnected;
        return;
    }
    if (o.quality == kQualityConfigError) return;
    o.quality = kQualityGood;
    if (s.behaviour == SimBehaviour::Constant) return;
    const double period = s.periodSeconds > 0.01 ? s.periodSeconds : 1.0;
    const double span = s.high - s.low;
    auto at = [&](double phase) {
        const double t = seconds / period + phase;
        switch (s.behaviour) {
            case SimBehaviour::Ramp:
                return s.low + span * (t - std::floor(t));
            case SimBehaviour::Sine:
                return s.low + span * (0.5 + 0.5 * std::sin(2 * 3.141592653589793 * t));
            case SimBehaviour::Random:
                random_ = random_ * 1103515245u + 12345u;
                return s.low + span * ((random_ >> 8) & 0xFFFF) / 65535.0;
            case SimBehaviour::Counter: {
                const double range = std::floor(span) + 1;
                return s.low + std::fmod(o.step + phase * kArrayLength, range > 0 ? range : 1);
            }
            case SimBehaviour::Toggle:
                return static_cast<long long>(std::floor(t)) % 2 ? s.high : s.low;
            default:
                return s.low;
        }
    };
    ++o.step;
    if (IsArray(s.type)) {
        SAFEARRAY* array = NewArray(s.type & VT_TYPEMASK);
        if (!array) return;
        for (LONG i = 0; i < static_cast<LONG>(kArrayLength); ++i) {
            const double x = at(static_cast<double>(i) / kArrayLength);
            if ((s.type & VT_TYPEMASK) == VT_R8) {
                SafeArrayPutElement(array, &i, const_cast<double*>(&x));
            } else {
                LONG n = static_cast<LONG>(std::lround(x));
                SafeArrayPutElement(array, &i, &n);
            }
        }
        VariantClear(&o.value);
        o.value.vt = s.type;
        o.value.parray = array;
        return;
    }
    VARIANT next;
    VariantInit(&next);
    const double x = at(0);
    if (s.type == VT_DATE) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        next.vt = VT_DATE;
        SystemTimeToVariantTime(&now, &next.date);
    } else if (s.type == VT_BOOL) {
        next.vt = VT_BOOL;
        next.boolVal = x >= s.low + span / 2 && span != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        if (s.behaviour == SimBehaviour::Toggle)
            next.boolVal = x == s.high ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (s.type == VT_BSTR) {
        wchar_t text[64];
        swprintf(text, 64, L"%.2f", x);
        next.vt = VT_BSTR;
        next.bstrVal = SysAllocString(text);
    } else {
        VARIANT real;
        real.vt = VT_R8;
        real.dblVal = s.type == VT_R8 || s.type == VT_R4 ? x : std::round(x);
        if (FAILED(VariantChangeType(&next, &real, 0, s.type))) {
            o.quality = kQualityConfigError;  // the limits do not fit the type
            return;
        }
    }
    VariantClear(&o.value);
    o.value = next;
}

void SimModel::Update() {
    std::lock_guard<std::mutex> lock(mutex_);
    FILETIME now;
    Now(&now);
    const double seconds = (GetTickCount() - startTick_) / 1000.0;
    for (auto& entry : objects_) {
        Object& o = entry.second;
        if (o.settings.kind != SimKind::Tag) continue;
        Simulate(o, seconds, Offline(entry.first));
        o.timestamp = now;
    }
}

std::string SimModel::Save() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Writer w;
    w.bytes.append(kMagic, sizeof(kMagic));
    w.Put(kFormatVersion);
    // Pre-order, so that every parent comes before its children.
    std::vector<std::pair<DWORD, DWORD>> order;  // (id, parent index)
    std::vector<std::pair<DWORD, DWORD>> stack;
    for (auto it = objects_.at(0).children.rbegin(); it != objects_.at(0).children.rend(); ++it)
        stack.push_back({*it, kNoParent});
    while (!stack.empty()) {
        auto [id, parentIndex] = stack.back();
        stack.pop_back();
        const DWORD index = static_cast<DWORD>(order.size());
        order.push_back({id, parentIndex});
        const auto& children = objects_.at(id).children;
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back({*it, index});
    }
    w.Put(static_cast<DWORD>(order.size()));
    for (const auto& [id, parentIndex] : order) {
        const SimSettings& s = objects_.at(id).settings;
        w.Put(parentIndex);
        w.Put(static_cast<DWORD>(s.kind));
        w.PutText(s.name);
        w.PutText(s.description);
        w.Put(s.type);
        w.Put(static_cast<DWORD>(s.behaviour));
        w.Put(s.low);
        w.Put(s.high);
        w.Put(s.periodSeconds);
        w.Put(static_cast<BYTE>(s.readOnly));
        w.Put(static_cast<BYTE>(s.offline));
        w.PutWide(s.initialValue);
    }
    return w.bytes;
}

bool SimModel::Load(const std::string& bytes) {
    if (bytes.size() < sizeof(kMagic) || memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0)
        return false;
    const std::string body = bytes.substr(sizeof(kMagic));
    Reader r(body);
    DWORD version = 0, count = 0;
    if (!r.Get(version) || version != kFormatVersion || !r.Get(count) || count > kMaxObjects)
        return false;
    struct Entry {
        DWORD parentIndex;
        SimSettings settings;
    };
    std::vector<Entry> entries;
    for (DWORD i = 0; i < count; ++i) {
        Entry e;
        DWORD kind = 0, behaviour = 0;
        BYTE readOnly = 0, offline = 0;
        SimSettings& s = e.settings;
        if (!r.Get(e.parentIndex) || !r.Get(kind) || !r.GetText(s.name) ||
            !r.GetText(s.description) || !r.Get(s.type) || !r.Get(behaviour) || !r.Get(s.low) ||
            !r.Get(s.high) || !r.Get(s.periodSeconds) || !r.Get(readOnly) || !r.Get(offline) ||
            !r.GetWide(s.initialValue))
            return false;
        if (kind > static_cast<DWORD>(SimKind::Tag) ||
            behaviour > static_cast<DWORD>(SimBehaviour::Toggle) ||
            (e.parentIndex != kNoParent && e.parentIndex >= i) || !std::isfinite(s.low) ||
            !std::isfinite(s.high) || !std::isfinite(s.periodSeconds))
            return false;
        s.kind = static_cast<SimKind>(kind);
        s.behaviour = static_cast<SimBehaviour>(behaviour);
        s.readOnly = readOnly != 0;
        s.offline = offline != 0;
        entries.push_back(std::move(e));
    }
    // Everything read: now replace the tree. Objects that do not fit are left out.
    std::lock_guard<std::mutex> lock(mutex_);
    for (DWORD child : std::vector<DWORD>(objects_[0].children)) RemoveLocked(child);
    std::vector<DWORD> ids(entries.size(), 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        const DWORD parentIndex = entries[i].parentIndex;
        if (parentIndex != kNoParent && ids[parentIndex] == 0) continue;
        ids[i] = AddLocked(parentIndex == kNoParent ? 0 : ids[parentIndex], entries[i].settings);
    }
    return true;
}

void SimModel::BuildDemoTree() {
    auto tag = [](const char* name, const wchar_t* description, VARTYPE type,
                  SimBehaviour behaviour, double low, double high, double period,
                  const wchar_t* initial = L"", bool readOnly = true) {
        SimSettings s;
        s.kind = SimKind::Tag;
        s.name = name;
        s.description = Ansi(description);
        s.type = type;
        s.behaviour = behaviour;
        s.low = low;
        s.high = high;
        s.periodSeconds = period;
        if (behaviour == SimBehaviour::Constant) {  // sensible limits if it is made to move
            s.high = 100;
            s.periodSeconds = 10;
        }
        s.initialValue = initial;
        s.readOnly = readOnly;
        return s;
    };
    auto branch = [](SimKind kind, const char* name, const wchar_t* description,
                     bool offline = false) {
        SimSettings s;
        s.kind = kind;
        s.name = name;
        s.description = Ansi(description);
        s.offline = offline;
        return s;
    };
    using B = SimBehaviour;
    Clear();
    std::lock_guard<std::mutex> lock(mutex_);
    const DWORD boiler = AddLocked(0, branch(SimKind::Device, "Boiler", L"Котельная"));
    const DWORD sensors = AddLocked(boiler, branch(SimKind::Folder, "Sensors", L"Датчики"));
    const DWORD temperature = AddLocked(
        sensors, tag("Temperature", L"Температура воды на выходе, °C", VT_R8, B::Sine, 60, 90, 20));
    AddLocked(temperature,
              tag("Units", L"Единицы измерения", VT_BSTR, B::Constant, 0, 0, 0, L"°C"));
    AddLocked(temperature, tag("High", L"Верхняя граница", VT_R8, B::Constant, 0, 0, 0, L"90"));
    AddLocked(temperature, tag("Low", L"Нижняя граница", VT_R8, B::Constant, 0, 0, 0, L"60"));
    AddLocked(sensors, tag("Pressure", L"Давление в контуре, МПа", VT_R4, B::Random, 1.8, 2.2, 1));
    AddLocked(sensors, tag("Level", L"Уровень в баке, %", VT_I2, B::Ramp, 0, 100, 30));
    const DWORD control = AddLocked(boiler, branch(SimKind::Folder, "Control", L"Управление"));
    AddLocked(control, tag("Setpoint", L"Уставка температуры, °C", VT_R8, B::Constant, 0, 0, 0,
                           L"75", false));
    AddLocked(control,
              tag("PumpOn", L"Насос включён", VT_BOOL, B::Constant, 0, 0, 0, L"true", false));
    AddLocked(control, tag("Mode", L"Режим работы", VT_BSTR, B::Constant, 0, 0, 0, L"Авто", false));
    AddLocked(control, tag("Alarm", L"Авария", VT_BOOL, B::Toggle, 0, 1, 5));
    AddLocked(boiler, tag("Cycles", L"Счётчик циклов", VT_I4, B::Counter, 0, 1000000, 1));

    const DWORD line = AddLocked(0, branch(SimKind::Device, "Line", L"Производственная линия"));
    AddLocked(line, tag("Speed", L"Скорость конвейера", VT_UI1, B::Ramp, 0, 255, 15));
    AddLocked(line, tag("Direction", L"Отклонение направления", VT_I1, B::Sine, -100, 100, 12));
    AddLocked(line, tag("Batch", L"Номер партии", VT_I4, B::Counter, 1, 9999, 1));
    AddLocked(line, tag("Profile", L"Профиль толщины, мм", static_cast<VARTYPE>(VT_ARRAY | VT_R8),
                        B::Sine, 0, 10, 8));
    AddLocked(line, tag("Positions", L"Положения захватов", static_cast<VARTYPE>(VT_ARRAY | VT_I4),
                        B::Random, 0, 1000, 1));
    AddLocked(line, tag("LastService", L"Дата последнего обслуживания", VT_DATE, B::Constant, 0, 0,
                        0, L"01/15/2026 08:30:00", false));
    AddLocked(line, tag("Clock", L"Время контроллера", VT_DATE, B::Ramp, 0, 0, 1));

    const DWORD reserve =
        AddLocked(0, branch(SimKind::Device, "Reserve", L"Резервный щит (нет связи)", true));
    AddLocked(reserve, tag("Voltage", L"Напряжение, В", VT_R8, B::Constant, 0, 0, 0, L"220"));
}
