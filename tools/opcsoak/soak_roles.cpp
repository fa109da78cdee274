#include "soak_roles.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "co_task_mem.h"
#include "data_sink.h"
#include "data_stream.h"
#include "group.h"
#include "hresult_text.h"
#include "stream_sink.h"
#include "variant.h"

namespace {

template <class T>
using CoTaskPtr = std::unique_ptr<T, CoTaskMemDeleter>;

// The demo plant's tags: every type the simulator has, arrays and a device without a
// connection among them, as an HMI's screen mixes them.
const wchar_t* const kPlantTags[] = {L"Simulator.Boiler.Sensors.Temperature",
                                     L"Simulator.Boiler.Sensors.Pressure",
                                     L"Simulator.Boiler.Sensors.Level",
                                     L"Simulator.Boiler.Control.Setpoint",
                                     L"Simulator.Boiler.Control.PumpOn",
                                     L"Simulator.Boiler.Control.Mode",
                                     L"Simulator.Boiler.Control.Alarm",
                                     L"Simulator.Boiler.Cycles",
                                     L"Simulator.Line.Speed",
                                     L"Simulator.Line.Direction",
                                     L"Simulator.Line.Batch",
                                     L"Simulator.Line.Profile",
                                     L"Simulator.Line.Positions",
                                     L"Simulator.Line.LastService",
                                     L"Simulator.Line.Clock",
                                     L"Simulator.Reserve.Voltage"};

constexpr unsigned kSlots = 16;
constexpr unsigned kTagsPerSlot = 6;  // T0 I4, T1 R8, T2 BSTR, T3 I4, T4 R8, T5 BSTR
constexpr DWORD kCompletionWaitMs = 10000;

[[noreturn]] void ThrowCode(const wchar_t* call, HRESULT hr) {
    ThrowFailure(std::wstring(call) + L" " + CodeWithName(hr));
}

std::vector<std::wstring> PlantTags() {
    return {std::begin(kPlantTags), std::end(kPlantTags)};
}

std::vector<std::wstring> SlotTags(unsigned seed) {
    std::vector<std::wstring> ids;
    const std::wstring slot = L"Probe.Soak.S" + std::to_wstring(seed % kSlots) + L".T";
    for (unsigned k = 0; k < kTagsPerSlot; ++k) ids.push_back(slot + std::to_wstring(k));
    return ids;
}

// A value no earlier round of any writer wrote to tag `k` of the writer's slot: a value that
// did not arrive cannot pass for one that did.
Variant WrittenValue(unsigned seed, unsigned long round, unsigned k) {
    Variant v;
    VARIANT* p = v.Get();
    switch (k % 3) {
        case 0:
            V_VT(p) = VT_I4;
            V_I4(p) = static_cast<LONG>((seed % 1000) * 1000000 + round % 100000 * 10 + k);
            break;
        case 1:  // a binary fraction: exact through every conversion
            V_VT(p) = VT_R8;
            V_R8(p) = seed % 1000 + round / 8.0 + k / 1024.0;
            break;
        default: {
            const std::wstring text = std::to_wstring(seed) + L"-" + std::to_wstring(round) + L"-" +
                                      std::to_wstring(k) + L" запись";
            V_VT(p) = VT_BSTR;
            V_BSTR(p) = Bstr(text.c_str()).Detach();
        }
    }
    return v;
}

bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (V_VT(&a) != V_VT(&b)) return false;
    switch (V_VT(&a)) {
        case VT_I4:
            return V_I4(&a) == V_I4(&b);
        case VT_R8:
            return V_R8(&a) == V_R8(&b);
        case VT_BSTR:
            return V_BSTR(&a) && V_BSTR(&b) && wcscmp(V_BSTR(&a), V_BSTR(&b)) == 0;
        default:
            return false;
    }
}

// The accepted items' server handles; a refusal of one the role needs is a failure.
std::vector<OPCHANDLE> AddAll(SoakContext& c, Group& group, const std::vector<std::wstring>& ids) {
    const std::vector<AddedItem> added =
        Timed(c.figures, L"AddItems", [&] { return group.AddItems(ids); });
    std::vector<OPCHANDLE> handles;
    for (size_t i = 0; i < added.size(); ++i)
        if (SUCCEEDED(added[i].error))
            handles.push_back(added[i].server);
        else
            c.figures.Call(L"AddItems", 0,
                           L"refused " + ids[i] + L": " + CodeWithName(added[i].error));
    return handles;
}

std::unique_ptr<Group> MakeGroup(SoakContext& c, bool active, DWORD rate) {
    return Timed(c.figures, L"AddGroup",
                 [&] { return std::make_unique<Group>(c.connection, active, rate); });
}

// Reads the writer's tags back from the device and counts those that do not hold `expected`.
void CheckArrived(SoakContext& c, Group& group, const std::vector<OPCHANDLE>& handles,
                  const std::vector<std::wstring>& ids, const std::vector<Variant>& expected) {
    const std::vector<ItemState> states =
        Timed(c.figures, L"Read(device)", [&] { return group.Read(OPC_DS_DEVICE, handles); });
    if (states.size() != handles.size()) return;  // the read failed: counted as such
    for (size_t i = 0; i < states.size(); ++i)
        if (FAILED(states[i].error) || !SameValue(*states[i].value.Get(), *expected[i].Get()))
            c.figures.LostWrite(ids[i]);
    c.figures.WritesChecked(static_cast<unsigned long>(states.size()));
}

// One synchronous write of fresh values to every tag of the slot, read back from the device.
void WriteRound(SoakContext& c, Group& group, const std::vector<OPCHANDLE>& handles,
                const std::vector<std::wstring>& ids, unsigned long round) {
    std::vector<Variant> values;
    std::vector<VARIANT> lent;
    for (size_t k = 0; k < handles.size(); ++k)
        values.push_back(WrittenValue(c.seed, round, static_cast<unsigned>(k)));
    for (Variant& v : values) lent.push_back(*v.Get());
    const std::vector<HRESULT> errors =
        Timed(c.figures, L"Write", [&] { return group.Write(handles, lent); });
    for (size_t i = 0; i < errors.size(); ++i)
        if (errors[i] != S_OK) c.figures.Call(L"Write", 0, ids[i] + L" " + CodeWithName(errors[i]));
    if (errors.size() == handles.size()) CheckArrived(c, group, handles, ids, values);
}

// A group's update callbacks, timed: the longest wait between two of them is what a
// subscriber starved by the server would see.
class CallbackClock {
  public:
    CallbackClock(SoakFigures& figures, DWORD rate) : figures_(figures), rate_(rate) {}
    void Tick() {
        const double now = NowMs();
        figures_.Callback(rate_, now - last_);
        last_ = now;
    }

  private:
    SoakFigures& figures_;
    DWORD rate_;
    double last_ = NowMs();
};

struct Subscribed {
    std::unique_ptr<Group> group;
    std::unique_ptr<CallbackClock> clock;
    ComPtr<DataSink> sink;
    std::unique_ptr<Subscription> subscription;
};

// An active group of `ids` at `rate` with a data callback that times its update cycles.
std::unique_ptr<Subscribed> Subscribe(SoakContext& c, const std::vector<std::wstring>& ids,
                                      DWORD rate) {
    auto s = std::make_unique<Subscribed>();
    s->group = MakeGroup(c, true, rate);
    if (!s->group) return nullptr;
    AddAll(c, *s->group, ids);
    s->clock = std::make_unique<CallbackClock>(c.figures, s->group->RevisedRate());
    CallbackClock* clock = s->clock.get();
    s->sink = DataSink::Make([clock](const DataCallback& callback) {
        if (callback.kind == DataCallback::kDataChange && callback.transaction == 0) clock->Tick();
    });
    s->subscription = Timed(c.figures, L"Advise", [&] {
        return std::make_unique<Subscription>(s->group->Object(), s->sink.Get());
    });
    return s;
}

void GetStatus(SoakContext& c) {
    Timed(c.figures, L"GetStatus", [&] {
        OPCSERVERSTATUS* status = nullptr;
        const HRESULT hr = c.connection.Server()->GetStatus(&status);
        if (status) CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        if (FAILED(hr)) ThrowCode(L"GetStatus", hr);
        return true;
    });
}

void RunSubscriber(SoakContext& c) {
    std::vector<std::wstring> slow = PlantTags();
    for (const std::wstring& id : SlotTags(c.seed)) slow.push_back(id);
    const auto fast = Subscribe(c, PlantTags(), 250);
    const auto wide = Subscribe(c, slow, 1000);
    while (c.Running()) {
        c.Pause(5000);
        GetStatus(c);
    }
}

void RunDa1Subscriber(SoakContext& c) {
    const std::unique_ptr<Group> group = MakeGroup(c, true, 500);
    if (!group) return;
    AddAll(c, *group, PlantTags());
    CallbackClock clock(c.figures, group->RevisedRate());
    SoakFigures& figures = c.figures;
    ComPtr<StreamSink> sink = StreamSink::Make([&](CLIPFORMAT, const std::vector<BYTE>& bytes) {
        opcstream::ReadStream stream;
        if (!opcstream::ReadData(opcstream::Format::kDataTime, bytes.data(), bytes.size(), stream))
            figures.Call(L"OnDataChange(stream)", 0, L"a stream that does not decode");
        else if (stream.transactionId == 0)
            clock.Tick();
    });
    const auto subscription = Timed(c.figures, L"DAdvise", [&] {
        return std::make_unique<StreamSubscription>(group->Object(), L"OPCSTMFORMATDATATIME",
                                                    sink.Get());
    });
    while (c.Running()) {
        c.Pause(5000);
        GetStatus(c);
    }
}

void RunPoller(SoakContext& c) {
    std::vector<std::wstring> ids = PlantTags();
    for (const std::wstring& id : SlotTags(c.seed)) ids.push_back(id);
    const std::unique_ptr<Group> group = MakeGroup(c, true, 500);
    if (!group) return;
    const std::vector<OPCHANDLE> handles = AddAll(c, *group, ids);
    while (c.Running()) {
        Timed(c.figures, L"Read(cache)", [&] { return group->Read(OPC_DS_CACHE, handles); });
        c.Pause(c.Between(50, 150));
        Timed(c.figures, L"Read(device)", [&] { return group->Read(OPC_DS_DEVICE, handles); });
        c.Pause(c.Between(50, 150));
    }
}

// Writes to the slot's tags until the deadline, a pause of `lowMs` to `highMs` between rounds.
void WriteUntilDeadline(SoakContext& c, unsigned lowMs, unsigned highMs) {
    const std::vector<std::wstring> ids = SlotTags(c.seed);
    const std::unique_ptr<Group> group = MakeGroup(c, false, 1000);
    if (!group) return;
    const std::vector<OPCHANDLE> handles = AddAll(c, *group, ids);
    if (handles.size() != ids.size()) return;
    for (unsigned long round = 1; c.Running(); ++round) {
        WriteRound(c, *group, handles, ids, round);
        c.Pause(c.Between(lowMs, highMs));
    }
}

void RunWriter(SoakContext& c) {
    WriteUntilDeadline(c, 50, 200);
}

void RunVictim(SoakContext& c) {
    const auto fast = Subscribe(c, PlantTags(), 250);
    const auto slots = Subscribe(c, SlotTags(c.seed), 500);
    WriteUntilDeadline(c, 200, 600);
}

// The asynchronous transactions' ends, by transaction ID, as the group's callbacks report them.
class Completions {
  public:
    struct End {
        DataCallback::Kind kind = DataCallback::kDataChange;
        bool allGood = false;
    };
    void Record(const DataCallback& callback) {
        if (callback.transaction == 0) return;  // an update cycle
        bool good = SUCCEEDED(callback.masterError);
        for (DWORD i = 0; callback.errors && i < callback.count; ++i)
            good = good && SUCCEEDED(callback.errors[i]);
        std::lock_guard<std::mutex> lock(mutex_);
        ends_[callback.transaction] = End{callback.kind, good};
        changed_.notify_all();
    }
    std::optional<End> Wait(DWORD transaction, DWORD ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return ends_.count(transaction) != 0; }))
            return std::nullopt;
        const End end = ends_[transaction];
        ends_.erase(transaction);
        return end;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<DWORD, End> ends_;
};

void RunAsync(SoakContext& c) {
    const std::vector<std::wstring> ids = SlotTags(c.seed);
    const std::unique_ptr<Group> group = MakeGroup(c, true, 2000);
    if (!group) return;
    const std::vector<OPCHANDLE> handles = AddAll(c, *group, ids);
    if (handles.size() != ids.size()) return;
    ComPtr<IOPCAsyncIO2> io;
    if (FAILED(group->Object()->QueryInterface(IID_IOPCAsyncIO2, io.PutVoid()))) {
        c.figures.Call(L"QueryInterface", 0, L"no IOPCAsyncIO2");
        return;
    }
    Completions completions;
    ComPtr<DataSink> sink =
        DataSink::Make([&](const DataCallback& callback) { completions.Record(callback); });
    const auto subscription = Timed(c.figures, L"Advise", [&] {
        return std::make_unique<Subscription>(group->Object(), sink.Get());
    });
    if (!subscription) return;
    std::vector<Variant> current;  // what the device holds, as far as this client knows
    for (DWORD transaction = 1; c.Running(); ++transaction) {
        const bool write = c.Between(0, 1) == 1;
        std::vector<Variant> values;
        std::vector<VARIANT> lent;
        for (unsigned k = 0; write && k < kTagsPerSlot; ++k)
            values.push_back(WrittenValue(c.seed, transaction, k));
        for (Variant& v : values) lent.push_back(*v.Get());
        DWORD cancelId = 0;
        const bool started = Timed(c.figures, write ? L"AsyncIO2::Write" : L"AsyncIO2::Read", [&] {
            HRESULT* raw = nullptr;
            const HRESULT hr = write ? io->Write(static_cast<DWORD>(handles.size()),
                                                 const_cast<OPCHANDLE*>(handles.data()),
                                                 lent.data(), transaction, &cancelId, &raw)
                                     : io->Read(static_cast<DWORD>(handles.size()),
                                                const_cast<OPCHANDLE*>(handles.data()), transaction,
                                                &cancelId, &raw);
            CoTaskPtr<HRESULT> errors(raw);
            if (hr != S_OK) ThrowCode(write ? L"Write" : L"Read", hr);
            return true;
        });
        if (!started) continue;
        bool cancelAccepted = false;
        if (c.Between(0, 3) == 0) {
            const double start = NowMs();
            const HRESULT hr = io->Cancel2(cancelId);
            // E_FAIL: too late, the transaction reports its outcome as usual.
            c.figures.Call(L"Cancel2", NowMs() - start,
                           hr == S_OK || hr == E_FAIL ? L"" : CodeWithName(hr));
            cancelAccepted = hr == S_OK;
            c.figures.Cancelled(cancelAccepted);
        }
        const std::optional<Completions::End> end =
            completions.Wait(transaction, kCompletionWaitMs);
        if (!end) {
            c.figures.MissingCompletion();
            continue;
        }
        const DataCallback::Kind expected =
            cancelAccepted ? DataCallback::kCancelComplete
                           : (write ? DataCallback::kWriteComplete : DataCallback::kReadComplete);
        if (end->kind != expected || !end->allGood)
            c.figures.Call(L"AsyncIO2 completion", 0,
                           L"transaction " + std::to_wstring(transaction) + L" ended as " +
                               std::to_wstring(end->kind) + L", good " +
                               std::to_wstring(end->allGood));
        if (write && !cancelAccepted) {
            CheckArrived(c, *group, handles, ids, values);
            current = std::move(values);
        } else if (write && !current.empty()) {
            // A cancel the server accepted must have kept the old values.
            CheckArrived(c, *group, handles, ids, current);
        }
        c.Pause(c.Between(20, 200));
    }
}

// The address space from the root down, as a client's browser dialog walks it: leaves with
// their identifiers, branches one level deeper.
void Browse(SoakContext& c) {
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (FAILED(c.connection.Server()->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                                                     browse.PutVoid()))) {
        c.figures.Call(L"QueryInterface", 0, L"no IOPCBrowseServerAddressSpace");
        return;
    }
    std::vector<std::wstring> pending{L""};
    for (unsigned visited = 0; !pending.empty() && visited < 40 && c.Running(); ++visited) {
        const std::wstring at = pending.back();
        pending.pop_back();
        Timed(c.figures, L"ChangeBrowsePosition", [&] {
            const HRESULT hr = browse->ChangeBrowsePosition(OPC_BROWSE_TO, at.c_str());
            if (FAILED(hr)) ThrowCode(L"ChangeBrowsePosition", hr);
            return true;
        });
        for (OPCBROWSETYPE type : {OPC_LEAF, OPC_BRANCH}) {
            ComPtr<IEnumString> names = Timed(c.figures, L"BrowseOPCItemIDs", [&] {
                ComPtr<IEnumString> e;
                const HRESULT hr = browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, e.Put());
                if (FAILED(hr)) ThrowCode(L"BrowseOPCItemIDs", hr);
                return e;
            });
            if (!names) continue;
            for (;;) {
                CoTaskString name;
                ULONG got = 0;
                if (names->Next(1, name.Put(), &got) != S_OK || got != 1) break;
                CoTaskString id;
                Timed(c.figures, L"GetItemID", [&] {
                    const HRESULT hr = browse->GetItemID(name.Get(), id.Put());
                    if (FAILED(hr)) ThrowCode(L"GetItemID", hr);
                    return true;
                });
                if (type == OPC_BRANCH && id.Get()) pending.push_back(id.Get());
            }
        }
    }
}

// Every property of a tag, as a client's property page reads them.
void ReadProperties(SoakContext& c, const std::wstring& item) {
    ComPtr<IOPCItemProperties> properties;
    if (FAILED(
            c.connection.Server()->QueryInterface(IID_IOPCItemProperties, properties.PutVoid()))) {
        c.figures.Call(L"QueryInterface", 0, L"no IOPCItemProperties");
        return;
    }
    LPWSTR id = const_cast<LPWSTR>(item.c_str());
    DWORD count = 0;
    CoTaskPtr<DWORD> ids;
    Timed(c.figures, L"QueryAvailableProperties", [&] {
        DWORD* rawIds = nullptr;
        LPWSTR* rawTexts = nullptr;
        VARTYPE* rawTypes = nullptr;
        const HRESULT hr =
            properties->QueryAvailableProperties(id, &count, &rawIds, &rawTexts, &rawTypes);
        ids.reset(rawIds);
        for (DWORD i = 0; rawTexts && i < count; ++i) CoTaskMemFree(rawTexts[i]);
        CoTaskMemFree(rawTexts);
        CoTaskMemFree(rawTypes);
        if (FAILED(hr)) ThrowCode(L"QueryAvailableProperties", hr);
        return true;
    });
    if (!ids || count == 0) return;
    Timed(c.figures, L"GetItemProperties", [&] {
        VARIANT* rawValues = nullptr;
        HRESULT* rawErrors = nullptr;
        const HRESULT hr =
            properties->GetItemProperties(id, count, ids.get(), &rawValues, &rawErrors);
        for (DWORD i = 0; rawValues && i < count; ++i) VariantClear(&rawValues[i]);
        CoTaskMemFree(rawValues);
        CoTaskMemFree(rawErrors);
        if (FAILED(hr)) ThrowCode(L"GetItemProperties", hr);
        return true;
    });
    Timed(c.figures, L"LookupItemIDs", [&] {
        LPWSTR* rawIds = nullptr;
        HRESULT* rawErrors = nullptr;
        const HRESULT hr = properties->LookupItemIDs(id, count, ids.get(), &rawIds, &rawErrors);
        for (DWORD i = 0; rawIds && i < count; ++i) CoTaskMemFree(rawIds[i]);
        CoTaskMemFree(rawIds);
        CoTaskMemFree(rawErrors);
        if (FAILED(hr)) ThrowCode(L"LookupItemIDs", hr);
        return true;
    });
}

void RunChurn(SoakContext& c) {
    std::vector<std::wstring> known = PlantTags();
    for (unsigned slot = 0; slot < kSlots; slot += 5)
        for (const std::wstring& id : SlotTags(slot)) known.push_back(id);
    for (unsigned long round = 0; c.Running(); ++round) {
        const std::unique_ptr<Group> group =
            MakeGroup(c, c.Between(0, 1) == 1, c.Between(1, 20) * 100);
        if (!group) {
            c.Pause(500);
            continue;
        }
        // Items a client picks from a list, now and then one that does not exist.
        std::vector<std::wstring> ids;
        for (unsigned n = c.Between(1, 40); n > 0; --n)
            ids.push_back(known[c.Between(0, static_cast<unsigned>(known.size() - 1))]);
        ids.push_back(L"Simulator.Boiler.NoSuchTag" + std::to_wstring(round % 7));
        const std::vector<AddedItem> added =
            Timed(c.figures, L"AddItems", [&] { return group->AddItems(ids); });
        std::vector<OPCHANDLE> handles;
        for (size_t i = 0; i < added.size(); ++i) {
            if (SUCCEEDED(added[i].error))
                handles.push_back(added[i].server);
            else if (i + 1 != added.size())
                c.figures.Call(L"AddItems", 0, L"refused " + ids[i]);
        }
        if (!handles.empty()) {
            Timed(c.figures, L"Read(device)", [&] { return group->Read(OPC_DS_DEVICE, handles); });
            Timed(c.figures, L"SetState", [&] {
                group->SetActive(c.Between(0, 1) == 1);
                return true;
            });
            const std::vector<OPCHANDLE> half(handles.begin(),
                                              handles.begin() + handles.size() / 2);
            if (!half.empty())
                Timed(c.figures, L"RemoveItems", [&] { return group->RemoveItems(half); });
        }
        if (round % 3 == 0) Browse(c);
        if (round % 2 == 0)
            ReadProperties(c, known[c.Between(0, static_cast<unsigned>(known.size() - 1))]);
        c.Pause(c.Between(50, 300));
        // The group goes here, with the items still in it.
    }
}

struct Role {
    const wchar_t* name;
    void (*run)(SoakContext&);
};
const Role kRoles[] = {{L"subscriber", RunSubscriber}, {L"subscriber-da1", RunDa1Subscriber},
                       {L"poller", RunPoller},         {L"writer", RunWriter},
                       {L"async", RunAsync},           {L"churn", RunChurn},
                       {L"victim", RunVictim}};

}  // namespace

void SoakContext::Pause(DWORD ms) const {
    const ULONGLONG now = GetTickCount64();
    if (now < deadline) Sleep(static_cast<DWORD>(std::min<ULONGLONG>(ms, deadline - now)));
}

unsigned SoakContext::Between(unsigned low, unsigned high) {
    return std::uniform_int_distribution<unsigned>(low, high)(random);
}

bool IsSoakRole(const std::wstring& role) {
    for (const Role& r : kRoles)
        if (role == r.name) return true;
    return false;
}

void RunSoakRole(const std::wstring& role, SoakContext& context) {
    for (const Role& r : kRoles)
        if (role == r.name) r.run(context);
}
