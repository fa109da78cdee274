#include "modbus_model.h"

#include <cstring>

#include "diagnostics_tags.h"
#include "driver_kit.h"

namespace modbus {

using driver_kit::Ansi;

namespace {

// The stream: "MBTC", the format version, the object count, then every object parent first
// (its parent's position in the stream, 0 for the root). Little-endian, fixed sizes: the
// same bytes from the 32- and the 64-bit build. Version 2 added a tag's range and units;
// a version 1 stream still loads, its tags without them. Version 3 added a device's transport
// and serial line; devices of older streams are Modbus TCP devices, as they were then.
constexpr char kMagic[4] = {'M', 'B', 'T', 'C'};
constexpr uint32_t kVersion = 3;
constexpr uint32_t kMaxObjects = 1000000;
constexpr uint32_t kMaxText = 4096;

class Writer {
  public:
    void U8(uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
    void U16(uint16_t v) { Raw(v, 2); }
    void U32(uint32_t v) { Raw(v, 4); }
    void F64(double v) {
        uint64_t bits;
        memcpy(&bits, &v, 8);
        Raw(bits, 8);
    }
    void Text(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        bytes_ += s;
    }
    std::string Take() { return std::move(bytes_); }

  private:
    void Raw(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    std::string bytes_;
};

class Reader {
  public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    bool U8(uint8_t& v) {
        uint64_t r;
        if (!Raw(r, 1)) return false;
        v = static_cast<uint8_t>(r);
        return true;
    }
    bool U16(uint16_t& v) {
        uint64_t r;
        if (!Raw(r, 2)) return false;
        v = static_cast<uint16_t>(r);
        return true;
    }
    bool U32(uint32_t& v) {
        uint64_t r;
        if (!Raw(r, 4)) return false;
        v = static_cast<uint32_t>(r);
        return true;
    }
    bool F64(double& v) {
        uint64_t r;
        if (!Raw(r, 8)) return false;
        memcpy(&v, &r, 8);
        return true;
    }
    bool Bool(bool& v) {
        uint8_t r;
        if (!U8(r) || r > 1) return false;
        v = r != 0;
        return true;
    }
    bool Text(std::string& s) {
        uint32_t n;
        if (!U32(n) || n > kMaxText || bytes_.size() - at_ < n) return false;
        s.assign(bytes_, at_, n);
        at_ += n;
        return true;
    }
    bool AtEnd() const { return at_ == bytes_.size(); }

  private:
    bool Raw(uint64_t& v, int n) {
        if (bytes_.size() - at_ < static_cast<size_t>(n)) return false;
        v = 0;
        for (int i = 0; i < n; ++i)
            v |= static_cast<uint64_t>(static_cast<uint8_t>(bytes_[at_ + i])) << (8 * i);
        at_ += n;
        return true;
    }
    const std::string& bytes_;
    size_t at_ = 0;
};

void WriteSettings(Writer& w, const ObjectSettings& s) {
    w.U8(static_cast<uint8_t>(s.kind));
    w.Text(s.name);
    w.Text(s.description);
    if (s.kind == Kind::kDevice) {
        const DeviceSettings& d = s.device;
        w.Text(d.host);
        w.U16(d.port);
        w.U8(d.unit);
        w.U32(d.pollMs);
        w.U32(d.timeoutMs);
        w.U8(d.retries);
        w.U8(static_cast<uint8_t>(d.transport));
        w.Text(d.portName);
        w.U32(d.baud);
        w.U8(d.dataBits);
        w.U8(static_cast<uint8_t>(d.parity));
        w.U8(d.stopBits);
    } else if (s.kind == Kind::kTag) {
        const TagSettings& t = s.tag;
        const Encoding& e = t.encoding;
        w.U8(static_cast<uint8_t>(t.table));
        w.U16(t.address);
        w.U8(static_cast<uint8_t>(e.type));
        w.U16(e.stringRegisters);
        w.U8(e.lowWordFirst);
        w.U8(e.swapBytes);
        w.U8(e.scaling.enabled);
        w.F64(e.scaling.rawLow);
        w.F64(e.scaling.rawHigh);
        w.F64(e.scaling.euLow);
        w.F64(e.scaling.euHigh);
        w.U8(t.ranged);
        w.F64(t.rangeLow);
        w.F64(t.rangeHigh);
        w.Text(t.units);
    }
}

bool ReadSettings(Reader& r, uint32_t version, ObjectSettings& s) {
    uint8_t kind;
    if (!r.U8(kind) || kind > static_cast<uint8_t>(Kind::kTag)) return false;
    s.kind = static_cast<Kind>(kind);
    if (!r.Text(s.name) || !r.Text(s.description)) return false;
    if (s.kind == Kind::kDevice) {
        DeviceSettings& d = s.device;
        if (!r.Text(d.host) || !r.U16(d.port) || !r.U8(d.unit) || !r.U32(d.pollMs) ||
            !r.U32(d.timeoutMs) || !r.U8(d.retries))
            return false;
        uint8_t transport, parity;
        if (version >= 3) {
            if (!r.U8(transport) || transport > static_cast<uint8_t>(Transport::kRtu) ||
                !r.Text(d.portName) || !r.U32(d.baud) || !r.U8(d.dataBits) || !r.U8(parity) ||
                parity > static_cast<uint8_t>(Parity::kOdd) || !r.U8(d.stopBits))
                return false;
            d.transport = static_cast<Transport>(transport);
            d.parity = static_cast<Parity>(parity);
        }
    } else if (s.kind == Kind::kTag) {
        TagSettings& t = s.tag;
        Encoding& e = t.encoding;
        uint8_t table, type;
        if (!r.U8(table) || table > static_cast<uint8_t>(Table::kHoldingRegister) ||
            !r.U16(t.address) || !r.U8(type) || type > static_cast<uint8_t>(DataType::kString) ||
            !r.U16(e.stringRegisters) || !r.Bool(e.lowWordFirst) || !r.Bool(e.swapBytes) ||
            !r.Bool(e.scaling.enabled) || !r.F64(e.scaling.rawLow) || !r.F64(e.scaling.rawHigh) ||
            !r.F64(e.scaling.euLow) || !r.F64(e.scaling.euHigh))
            return false;
        t.table = static_cast<Table>(table);
        e.type = static_cast<DataType>(type);
        if (version >= 2 &&
            (!r.Bool(t.ranged) || !r.F64(t.rangeLow) || !r.F64(t.rangeHigh) || !r.Text(t.units)))
            return false;
    }
    return true;
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.find('.') == std::string::npos;
}

bool CanHold(Kind parent, bool parentIsRoot, Kind child) {
    if (parentIsRoot) return child == Kind::kDevice;
    return parent != Kind::kTag && child != Kind::kDevice;
}

// The settings as their kind keeps them: names follow the object's name.
ObjectSettings Normalised(const ObjectSettings& s) {
    ObjectSettings out = s;
    out.device.name = out.tag.name = out.name;
    out.tag.description = out.description;
    return out;
}

}  // namespace

const wchar_t* TypeName(DataType type) {
    static const wchar_t* const names[] = {L"bool",   L"int16",   L"uint16",  L"int32",
                                           L"uint32", L"float32", L"float64", L"string"};
    const auto i = static_cast<size_t>(type);
    return i < std::size(names) ? names[i] : L"?";
}

const wchar_t* TableName(Table table) {
    static const wchar_t* const names[] = {L"Катушки (0x)", L"Дискретные входы (1x)",
                                           L"Входные регистры (3x)", L"Регистры хранения (4x)"};
    const auto i = static_cast<size_t>(table);
    return i < std::size(names) ? names[i] : L"?";
}

std::wstring Model::Check(DWORD parent, DWORD id, const ObjectSettings& settings) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CheckLocked(parent, id, Normalised(settings));
}

std::wstring Model::CheckLocked(DWORD parent, DWORD id, const ObjectSettings& s,
                                bool stored) const {
    if (id != 0) {
        auto p = objects_.find(id);
        if (p == objects_.end()) return L"Объект удалён.";
        parent = p->second.parent;
    }
    auto holder = objects_.find(parent);
    if (holder == objects_.end() || !CanHold(holder->second.settings.kind, parent == 0, s.kind))
        return L"Здесь нельзя создать объект этого вида.";
    std::wstring why;
    if (s.kind == Kind::kDevice)
        why = CheckDevice(s.device);
    else if (s.kind == Kind::kTag)
        why = CheckTag(s.tag);
    else if (!ValidName(s.name))
        why = L"Имя папки не может быть пустым и не может содержать точку.";
    if (!why.empty()) return why;
    if (s.kind == Kind::kDevice && s.device.transport == Transport::kRtu)
        // Devices live only at the top.
        for (DWORD other : objects_.at(0).children) {
            const DeviceSettings& d = objects_.at(other).settings.device;
            if (other != id && d.transport == Transport::kRtu &&
                ComPortNumber(d.portName) == ComPortNumber(s.device.portName) &&
                !SameLineFormat(d, s.device))
                return L"Устройства на одном последовательном порту должны иметь одинаковые "
                       L"скорость, биты данных, чётность и стоповые биты.";
        }
    // An object that already has the name may keep it: only a new name is refused.
    const bool named = id != 0 && objects_.at(id).settings.name == s.name;
    if (!stored && !named && s.kind != Kind::kDevice && DiagnosticTags::Reserved(s.name))
        return L"Имя «_Diagnostics» занято папкой диагностики устройства.";
    const DWORD same = FindLocked(parent, s.name);
    if (same != 0 && same != id) return L"Объект с таким именем уже есть на этом уровне.";
    return L"";
}

DWORD Model::Add(DWORD parent, const ObjectSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ObjectSettings s = Normalised(settings);
    if (!CheckLocked(parent, 0, s).empty()) return 0;
    return AddLocked(parent, s);
}

DWORD Model::AddLocked(DWORD parent, const ObjectSettings& s) {
    const DWORD id = nextId_++;
    Object& o = objects_[id];
    o.parent = parent;
    o.settings = s;
    Object& holder = objects_[parent];
    holder.children.push_back(id);
    holder.childByName.emplace(s.name, id);
    return id;
}

bool Model::Edit(DWORD id, const ObjectSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (id == 0 || p == objects_.end()) return false;
    ObjectSettings s = Normalised(settings);
    s.kind = p->second.settings.kind;
    if (!CheckLocked(0, id, s).empty()) return false;
    Object& o = p->second;
    Object& holder = objects_[o.parent];
    holder.childByName.erase(o.settings.name);
    holder.childByName.emplace(s.name, id);
    const bool sameSource = o.settings.tag.table == s.tag.table &&
                            o.settings.tag.address == s.tag.address &&
                            o.settings.tag.encoding.type == s.tag.encoding.type;
    o.settings = s;
    // A tag that now reads elsewhere, or as another type, waits for its first reading again.
    if (s.kind == Kind::kTag && !sameSource) {
        VariantClear(o.value.get());
        o.quality = kQualityWaiting;
        o.alone = false;
        mailbox_.erase(id);
    }
    return true;
}

void Model::Remove(DWORD id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == 0 || !objects_.count(id)) return;
    Object& holder = objects_[objects_[id].parent];
    holder.childByName.erase(objects_[id].settings.name);
    auto& siblings = holder.children;
    for (auto i = siblings.begin(); i != siblings.end(); ++i)
        if (*i == id) {
            siblings.erase(i);
            break;
        }
    RemoveLocked(id);
}

void Model::RemoveLocked(DWORD id) {
    auto p = objects_.find(id);
    if (p == objects_.end()) return;
    const std::vector<DWORD> children = p->second.children;
    for (DWORD child : children) RemoveLocked(child);
    mailbox_.erase(id);
    objects_.erase(id);
}

void Model::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    objects_.clear();
    objects_[0];
    mailbox_.clear();
    ++generation_;
}

std::vector<std::string> Model::Children(DWORD id, bool tags) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    auto p = objects_.find(id);
    if (p == objects_.end()) return names;
    for (DWORD child : p->second.children) {
        const ObjectSettings& s = objects_.at(child).settings;
        if ((s.kind == Kind::kTag) == tags) names.push_back(s.name);
    }
    return names;
}

DWORD Model::FindLocked(DWORD parent, std::string_view name) const {
    auto p = objects_.find(parent);
    if (p == objects_.end()) return 0;
    auto c = p->second.childByName.find(name);
    return c == p->second.childByName.end() ? 0 : c->second;
}

DWORD Model::Find(DWORD parent, std::string_view name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FindLocked(parent, name);
}

DWORD Model::FindPath(std::string_view path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FollowPath(
        path, [this](DWORD parent, std::string_view name) { return FindLocked(parent, name); });
}

std::optional<ObjectSettings> Model::Settings(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end()) return std::nullopt;
    return p->second.settings;
}

std::optional<Kind> Model::KindOf(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (id == 0 || p == objects_.end()) return std::nullopt;
    return p->second.settings.kind;
}

DWORD Model::DeviceOf(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto p = objects_.find(id); id != 0 && p != objects_.end();
         id = p->second.parent, p = objects_.find(id))
        if (p->second.parent == 0) return id;
    return 0;
}

std::vector<DWORD> Model::Devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.at(0).children;
}

void Model::SetClients(DWORD id, DWORD clients, DWORD driverData) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end() || id == 0) return;
    p->second.clients = clients;
    p->second.driverData = driverData;
}

LONG Model::ChangeClients(DWORD id, LONG delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(id);
    if (p == objects_.end() || id == 0 || p->second.settings.kind != Kind::kTag) return -1;
    const LONGLONG count = static_cast<LONGLONG>(p->second.clients) + delta;
    p->second.clients = count < 0 ? 0 : count > MAXLONG ? MAXLONG : static_cast<DWORD>(count);
    return static_cast<LONG>(p->second.clients);
}

void Model::CollectTags(DWORD id, std::vector<PolledTag>& out) const {
    const Object& o = objects_.at(id);
    for (DWORD child : o.children) {
        const Object& c = objects_.at(child);
        if (c.settings.kind == Kind::kTag)
            out.push_back(PolledTag{child, c.settings.tag, c.alone});
        else
            CollectTags(child, out);
    }
}

std::optional<PollPlan> Model::PlanOf(DWORD device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(device);
    if (device == 0 || p == objects_.end() || p->second.settings.kind != Kind::kDevice)
        return std::nullopt;
    PollPlan plan;
    plan.generation = generation_;
    plan.device = p->second.settings.device;
    CollectTags(device, plan.tags);
    return plan;
}

void Model::Post(uint64_t generation, std::vector<Reading>&& readings) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != generation_) return;
    for (Reading& r : readings)
        if (objects_.count(r.tag)) mailbox_[r.tag] = std::move(r);
}

void Model::ApplyLocked(Reading& r) {
    auto p = objects_.find(r.tag);
    if (p == objects_.end()) return;
    Object& o = p->second;
    o.quality = r.quality;
    if (!r.keepValue) {
        VariantClear(o.value.get());
        *o.value.get() = *r.value.get();  // moved: the reading no longer owns it
        VariantInit(r.value.get());
        o.timestamp = r.timestamp;
    }
}

void Model::HandOver() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [tag, reading] : mailbox_) ApplyLocked(reading);
    mailbox_.clear();
}

void Model::Show(Reading&& reading) {
    std::lock_guard<std::mutex> lock(mutex_);
    mailbox_.erase(reading.tag);  // an older poll must not undo the write
    ApplyLocked(reading);
}

void Model::ReadAlone(DWORD tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(tag);
    if (p != objects_.end()) p->second.alone = true;
}

void Model::SetAway(DWORD device, bool away) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = objects_.find(device);
    if (p != objects_.end() && device != 0) p->second.away = away;
}

std::string Model::Save() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Parents before children, each naming its parent by position.
    std::vector<DWORD> order{0};
    std::map<DWORD, uint32_t> position{{0, 0}};
    for (size_t i = 0; i < order.size(); ++i)
        for (DWORD child : objects_.at(order[i]).children) {
            position[child] = static_cast<uint32_t>(order.size());
            order.push_back(child);
        }
    Writer w;
    for (char c : kMagic) w.U8(static_cast<uint8_t>(c));
    w.U32(kVersion);
    w.U32(static_cast<uint32_t>(order.size() - 1));
    for (size_t i = 1; i < order.size(); ++i) {
        const Object& o = objects_.at(order[i]);
        w.U32(position.at(o.parent));
        WriteSettings(w, o.settings);
    }
    return w.Take();
}

bool Model::Load(const std::string& bytes) {
    Reader r(bytes);
    uint8_t magic[4];
    for (uint8_t& m : magic)
        if (!r.U8(m)) return false;
    uint32_t version, count;
    if (memcmp(magic, kMagic, 4) != 0 || !r.U32(version) || version < 1 || version > kVersion ||
        !r.U32(count) || count > kMaxObjects)
        return false;
    // Built aside and checked like a dialog's input (but for the names reserved since it was
    // saved), so a damaged stream changes nothing.
    Model loaded;
    std::vector<DWORD> ids{0};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t parent;
        ObjectSettings s;
        if (!r.U32(parent) || parent >= ids.size() || !ReadSettings(r, version, s)) return false;
        const ObjectSettings n = Normalised(s);
        if (!loaded.CheckLocked(ids[parent], 0, n, true).empty()) return false;
        const DWORD id = loaded.AddLocked(ids[parent], n);
        ids.push_back(id);
    }
    if (!r.AtEnd()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    objects_.swap(loaded.objects_);
    nextId_ = loaded.nextId_;
    mailbox_.clear();
    ++generation_;
    return true;
}

void Model::BuildExample() {
    Clear();
    ObjectSettings device;
    device.kind = Kind::kDevice;
    device.name = "PLC1";
    device.description = Ansi(L"Пример: ПЛК на этом компьютере");
    device.device.host = "127.0.0.1";
    device.device.port = 502;
    const DWORD plc = Add(0, device);
    ObjectSettings folder;
    folder.kind = Kind::kFolder;
    folder.name = "Analog";
    const DWORD analog = Add(plc, folder);
    auto tag = [](const char* name, const wchar_t* description, Table table, uint16_t address,
                  DataType type) {
        ObjectSettings s;
        s.kind = Kind::kTag;
        s.name = name;
        s.description = Ansi(description);
        s.tag.table = table;
        s.tag.address = address;
        s.tag.encoding.type = type;
        return s;
    };
    // Tenths of a degree in the device, degrees for the clients.
    ObjectSettings temperature =
        tag("Temperature", L"Температура, °C", Table::kHoldingRegister, 0, DataType::kInt16);
    temperature.tag.encoding.scaling = Scaling{true, 0, 1000, 0, 100};
    temperature.tag.units = Ansi(L"°C");
    Add(analog, temperature);
    Add(analog, tag("Flow", L"Расход, м3/ч", Table::kHoldingRegister, 2, DataType::kFloat32));
    Add(analog, tag("Pressure", L"Давление", Table::kInputRegister, 0, DataType::kUInt16));
    Add(plc, tag("Pump", L"Насос включён", Table::kCoil, 0, DataType::kBool));
    Add(plc, tag("Alarm", L"Авария", Table::kDiscreteInput, 0, DataType::kBool));
}

}  // namespace modbus
