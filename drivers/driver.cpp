#include "driver.h"

#include <objbase.h>
#include <cmath>
#include <memory>

#include "ansi_text.h"
#include "co_task_mem.h"
#include "com_ptr.h"
#include "fault_guard.h"
#include "thread_slot.h"

namespace {

template <class Proc>
void Resolve(HMODULE module, const char* name, Proc& proc) {
    proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Moves a driver's CoTaskMem name list into `list` and frees it.
void TakeNames(char** names, DWORD count, std::vector<std::string>& list) {
    struct FreeOnExit {
        char** names;
        DWORD count;
        ~FreeOnExit() {
            if (!names) return;
            for (DWORD i = 0; i < count; ++i) CoTaskMemFree(names[i]);
            CoTaskMemFree(names);
        }
    } freeOnExit{names, count};
    if (!names) return;
    list.reserve(count);
    for (DWORD i = 0; i < count; ++i)
        if (names[i]) list.emplace_back(names[i]);
}

// The thread's wait limit plus one; 0: never set, the longest.
ThreadSlot<DWORD> g_waitLimit;

}  // namespace

CDriver::CDriver() = default;

CDriver::~CDriver() {
    // Work still running belongs to a driver nobody shares (its tasks keep a shared one
    // alive): it is waited for, within the limit, before the DLL goes.
    pool_.Close(kDriverLockLimitMs);
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
    startCount_ = 0;
    released_->store(true);
}

DWORD CDriver::WaitLimit() noexcept {
    const DWORD stored = g_waitLimit.Get();
    return stored == 0 ? kDriverLockLimitMs : stored - 1;
}

CDriver::ScopedWaitLimit::ScopedWaitLimit(DWORD ms) noexcept : previous_(WaitLimit()) {
    g_waitLimit.Set((ms < kDriverLockLimitMs ? ms : kDriverLockLimitMs) + 1);
}

CDriver::ScopedWaitLimit::~ScopedWaitLimit() {
    g_waitLimit.Set(previous_ + 1);
}

CDriver::TagReading CDriver::UnansweredReading() noexcept {
    TagReading reading;
    reading.driverFailed = true;
    reading.quality = kQualityCommFailure;
    GetSystemTimeAsFileTime(&reading.timestamp);
    return reading;
}

template <class Result, class Work>
Result CDriver::Bounded(Result failed, Work work) noexcept {
    try {
        if (InsideCall()) return work();
        DriverCall<Result> call = Begin<Result>([work](CDriver&) { return work(); });
        return call.Wait(WaitLimit()) ? std::move(call.Result()) : std::move(failed);
    } catch (...) {
        return failed;  // no memory for the work or its result
    }
}

// The one way into a driver. A C++ exception stops here, and so does a structured exception
// (an access violation...): the call gives its neutral result, the fault is counted, and a
// driver that faulted is not called again, since its state (and any lock of its own) is
// whatever the fault left. Locks of ours around the call are released as usual.
template <class Result, class Call>
Result CDriver::Guarded(Result failed, Call&& call) noexcept {
    if (faulted_.load()) return failed;
    try {
        Result result = failed;
        auto run = [&] { result = call(); };
        if (const DWORD code = ContainFaults(run)) {
            faultCode_.store(code);
            faulted_.store(true);
            ++faults_;
            return failed;
        }
        return result;
    } catch (...) {
        ++faults_;
        return failed;
    }
}

// Our own handling of what a driver handed over: a failure here (no memory) is counted as
// well, but it is not the driver's fault.
template <class Call>
void CDriver::Safely(Call&& call) noexcept {
    try {
        call();
    } catch (...) {
        ++faults_;
    }
}

// An entry point that never returns keeps the driver's lock for ever: nobody waits for it
// longer than kDriverLockLimitMs (the call that holds it makes the driver unresponsive).
class CDriver::LockHolder {
  public:
    explicit LockHolder(CDriver& driver) noexcept
        : driver_(driver), owned_(driver.lock_.Acquire(kDriverLockLimitMs)) {}
    ~LockHolder() {
        if (owned_) driver_.lock_.Release();
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    explicit operator bool() const noexcept { return owned_; }

  private:
    CDriver& driver_;
    const bool owned_;
};

template <class Result, class Call>
Result CDriver::Locked(Result failed, Call&& call) noexcept {
    LockHolder lock(*this);
    if (!lock) return failed;
    return Guarded(failed, std::forward<Call>(call));
}

BOOL CDriver::Load(const std::string& name) {
    ProcessMutexLock lock(lock_);
    if (module_ || name.empty()) return FALSE;
    HMODULE module = LoadLibraryA(name.c_str());
    if (!module) return FALSE;
    Resolve(module, "DLLAddObject", addObject_);
    Resolve(module, "DLLEnumChildren", enumChildren_);
    Resolve(module, "DLLEnumTags", enumTags_);
    Resolve(module, "DLLGetObjectID", getObjectId_);
    Resolve(module, "DLLEditObject", editObject_);
    Resolve(module, "DLLGetObjectInfo", getObjectInfo_);
    Resolve(module, "DLLSetObjectInfo", setObjectInfo_);
    Resolve(module, "DLLRemoveObject", removeObject_);
    Resolve(module, "DLLSerialize", serialize_);
    Resolve(module, "DLLUpdate", update_);
    Resolve(module, "DLLStart", start_);
    Resolve(module, "DLLStop", stop_);
    Resolve(module, "DLLDefaultSettings", defaultSettings_);
    Resolve(module, "DLLChangeClientCount", changeClientCount_);
    Resolve(module, "DLLReadChangedTags", readChangedTags_);
    Resolve(module, "DLLGetEngineeringUnits", getEngineeringUnits_);
    Resolve(module, "DLLWriteValues", writeValues_);
    const bool complete = addObject_ && enumChildren_ && enumTags_ && getObjectId_ && editObject_ &&
                          getObjectInfo_ && setObjectInfo_ && removeObject_ && serialize_ &&
                          update_ && start_ && stop_;
    if (!complete) {
        FreeLibrary(module);
        return FALSE;
    }
    module_ = module;
    return TRUE;
}

LONG CDriver::AddObject(DWORD parent, HWND owner) {
    if (!addObject_) return 0;
    return Guarded(0L, [&] { return addObject_(parent, owner); });
}

void CDriver::EnumNames(DLLEnumChildrenProc proc, std::vector<std::string>& list, DWORD id) {
    list = Bounded(std::vector<std::string>(), [this, proc, id] {
        std::vector<std::string> names;
        if (!proc) return names;
        char** raw = nullptr;
        DWORD count = 0;
        Guarded(0L, [&] { return proc(id, &raw, &count); });
        Safely([&] { TakeNames(raw, count, names); });
        return names;
    });
}

void CDriver::EnumChildren(std::vector<std::string>& list, DWORD id) {
    EnumNames(enumChildren_, list, id);
}

void CDriver::EnumTags(std::vector<std::string>& list, DWORD id) {
    EnumNames(enumTags_, list, id);
}

DWORD CDriver::GetObjectID(DWORD parent, const std::string& name) {
    if (!getObjectId_) return 0;
    return Bounded(DWORD{0}, [this, parent, name] {
        return Guarded(DWORD{0}, [&] { return getObjectId_(parent, name.c_str()); });
    });
}

DWORD CDriver::GetObjectID(DWORD parent, const char* name) {
    if (InsideCall()) {
        if (!getObjectId_) return 0;
        return Guarded(DWORD{0}, [&] { return getObjectId_(parent, name); });
    }
    return GetObjectID(parent, std::string(name ? name : ""));
}

LONG CDriver::EditObject(DWORD id, HWND owner) {
    if (!editObject_) return 0;
    return Locked(0L, [&] { return editObject_(id, owner); });
}

void CDriver::GetObjectInfo(DWORD id, CObjectInfo& info) {
    info = Bounded(CObjectInfo(), [this, id] {
        CObjectInfo got;
        if (!getObjectInfo_) return got;
        DLLOBJECTINFO raw{};
        Guarded(0L, [&] { return getObjectInfo_(id, &raw); });
        Safely([&] { got.TakeFrom(raw); });
        return got;
    });
}

LONG CDriver::SetObjectInfo(DWORD id, const CObjectInfo& info) {
    if (!setObjectInfo_) return 0;
    if (InsideCall()) {
        DLLOBJECTINFO raw = info.ForDriver();
        return Guarded(0L, [&] { return setObjectInfo_(id, &raw); });
    }
    return Bounded(0L, [this, id, copy = info] { return SetObjectInfo(id, copy); });
}

CDriver::TagFacts CDriver::GetTagFacts(DWORD id) {
    return Bounded(TagFacts(), [this, id] {
        TagFacts facts;
        if (!getObjectInfo_) return facts;
        DLLOBJECTINFO raw{};
        Guarded(0L, [&] { return getObjectInfo_(id, &raw); });
        if (raw.isTag) {
            facts.isTag = true;
            facts.readOnly = raw.readOnly != FALSE;
            facts.type = V_VT(&raw.value);
        }
        Safely([&] { FreeDriverRecord(raw); });
        if (facts.isTag && getEngineeringUnits_) {
            const EngineeringUnits eu = AskEngineeringUnits(id);
            facts.hasRange = eu.hasRange;
            facts.euLow = eu.low;
            facts.euHigh = eu.high;
        }
        return facts;
    });
}

CDriver::EngineeringUnits CDriver::GetEngineeringUnits(DWORD id) {
    if (!getEngineeringUnits_) return EngineeringUnits();
    return Bounded(EngineeringUnits(), [this, id] { return AskEngineeringUnits(id); });
}

CDriver::EngineeringUnits CDriver::AskEngineeringUnits(DWORD id) noexcept {
    EngineeringUnits eu;
    double low = 0, high = 0;
    char* units = nullptr;
    const LONG known = Guarded(-1L, [&] { return getEngineeringUnits_(id, &low, &high, &units); });
    // The text is freed whatever the answer: a driver that left one without its bit loses
    // nothing, and one that faulted after allocating it leaks nothing.
    const std::unique_ptr<char, CoTaskMemDeleter> text(units);
    if (known < 0) return eu;
    // A percent deadband is a share of high - low: a reversed, empty or endless span would
    // make it refuse every change or pass every one.
    if ((known & ENGINEERING_UNITS_RANGE) && std::isfinite(low) && std::isfinite(high) &&
        low < high && std::isfinite(high - low)) {
        eu.hasRange = true;
        eu.low = low;
        eu.high = high;
    }
    if ((known & ENGINEERING_UNITS_TEXT) && text) {
        Safely([&] {
            eu.units = text.get();
            eu.hasUnits = true;
        });
    }
    return eu;
}

void CDriver::ReadTag(DWORD id, TagReading& reading) {
    // Not the last good value as if nothing had happened: the device is gone, or silent.
    // (Work that is already inside the driver, reading many tags, was let in after that
    // check and gets its answers.)
    if (faulted_.load() || (!InsideCall() && IsUnresponsive())) {
        reading = UnansweredReading();
        if (faulted_.load()) reading.quality = kQualityDeviceFailure;
        return;
    }
    reading = Bounded(UnansweredReading(), [this, id] {
        TagReading got;
        if (!getObjectInfo_) return got;
        DLLOBJECTINFO raw{};
        Guarded(0L, [&] { return getObjectInfo_(id, &raw); });
        Safely([&] {
            if (raw.isTag) {
                got.quality = raw.quality;
                got.timestamp = raw.timestamp;
                // A copy, not the driver's VARIANT itself: the copy checks what a driver
                // handed over.
                const HRESULT hr = VariantCopy(got.value.Put(), &raw.value);
                if (FAILED(hr)) {
                    V_VT(got.value.Put()) = VT_ERROR;
                    V_ERROR(got.value.Put()) = hr;
                }
            }
            FreeDriverRecord(raw);
        });
        return got;
    });
}

bool CDriver::ReadChangedTags(const std::vector<DWORD>& ids, std::vector<DWORD>& versions,
                              std::vector<DWORD>& changedAt, std::vector<TagReading>& readings) {
    if (!readChangedTags_ || faulted_.load() || (!InsideCall() && IsUnresponsive())) return false;
    const size_t count = ids.size();
    std::vector<DWORD> numbers(versions);
    std::vector<VARIANT> values(count);  // all VT_EMPTY: zeroed
    std::vector<WORD> qualities(count);
    std::vector<FILETIME> times(count);
    const DWORD n = static_cast<DWORD>(count);
    const LONG written = Bounded(-1L, [&] {
        return Guarded(-1L, [&] {
            return readChangedTags_(n, ids.data(), numbers.data(), values.data(), qualities.data(),
                                    times.data());
        });
    });
    if (written < 0) {
        // Whatever it wrote before it failed is ours to free.
        for (VARIANT& v : values) VariantClear(&v);
        return false;
    }
    changedAt.clear();
    readings.clear();
    for (size_t i = 0; i < count; ++i) {
        if (numbers[i] != 0 && numbers[i] == versions[i]) {
            if (V_VT(&values[i]) != VT_EMPTY) VariantClear(&values[i]);  // written unasked
            continue;
        }
        versions[i] = numbers[i];
        changedAt.push_back(static_cast<DWORD>(i));
        readings.emplace_back();
        TagReading& r = readings.back();
        if (numbers[i] == 0) {  // no tag (any more): what DLLGetObjectInfo gives for one
            VariantClear(&values[i]);
            continue;
        }
        *r.value.Put() = values[i];  // the driver's value is ours now
        r.quality = qualities[i];
        r.timestamp = times[i];
    }
    return true;
}

bool CDriver::WriteValue(DWORD id, const Variant& value) {
    // The record goes back as CObjectInfo::ForDriver would give it, but straight from the
    // driver's own record: no copies of its strings, one copy of the value (the driver's).
    auto write = [this, id](const Variant& v) {
        DLLOBJECTINFO raw{};
        VariantInit(&raw.value);
        v.CopyTo(&raw.value);
        CriticalSectionLock record(recordLock_);
        DLLOBJECTINFO got{};
        bool handed = false;
        // One guarded stretch: a driver that faulted in the first call gets no second.
        const LONG taken = Guarded(0L, [&] {
            getObjectInfo_(id, &got);
            raw.name = got.name ? got.name : const_cast<char*>("");
            raw.description = got.description ? got.description : const_cast<char*>("");
            raw.driverData = got.driverData;
            if (got.isTag) raw.clients = got.clients;
            handed = true;  // the value is the driver's from here, whatever comes
            return setObjectInfo_(id, &raw);
        });
        if (!handed) VariantClear(&raw.value);
        Safely([&] { FreeDriverRecord(got); });
        return taken != 0;
    };
    // Work inside the driver already (a batch of writes) needs no copy of the value for a
    // task of its own.
    if (InsideCall()) return write(value);
    return Bounded(false, [write, value] { return write(value); });
}

std::vector<bool> CDriver::WriteValues(const std::vector<DWORD>& ids,
                                       const std::vector<Variant>& values) {
    const size_t count = ids.size();
    std::vector<bool> taken(count, false);
    // A task of its own owns copies: a caller that stops waiting leaves them to it.
    if (!InsideCall())
        return Bounded(std::move(taken), [this, ids, values] { return WriteValues(ids, values); });
    if (writeValues_ && !faulted_.load()) {
        // The driver reads the values in place: a view of them, owned by `values`.
        std::vector<VARIANT> view(count);
        for (size_t i = 0; i < count; ++i) view[i] = *values[i].Get();
        std::vector<BOOL> answers(count, FALSE);
        constexpr LONG kDeclined = -1;
        LONG result;
        {
            CriticalSectionLock record(recordLock_);
            // A fault or a throw: nothing counts as taken.
            result = Guarded(LONG{-2}, [&] {
                return writeValues_(static_cast<DWORD>(count), ids.data(), view.data(),
                                    answers.data());
            });
        }
        if (result != kDeclined) {
            if (result >= 0)
                for (size_t i = 0; i < count; ++i) taken[i] = answers[i] != FALSE;
            return taken;
        }
    }
    for (size_t i = 0; i < count; ++i) taken[i] = WriteValue(ids[i], values[i]);
    return taken;
}

void CDriver::ChangeClientCount(DWORD id, LONG delta) {
    if (delta == 0) return;
    Bounded(0L, [this, id, delta] {
        if (changeClientCount_) {
            CriticalSectionLock record(recordLock_);
            return Guarded(0L, [&] { return changeClientCount_(id, delta); });
        }
        // The whole record goes back: no DLLUpdate and no value write may land in between.
        LockHolder lock(*this);
        if (!lock) return 0L;
        CriticalSectionLock record(recordLock_);
        CObjectInfo info;
        GetObjectInfo(id, info);
        if (!info.isTag) return 0L;
        const LONGLONG count = static_cast<LONGLONG>(info.clients) + delta;
        info.clients = count < 0 ? 0 : count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
        return SetObjectInfo(id, info);
    });
}

LONG CDriver::RemoveObject(DWORD id) {
    if (!removeObject_) return 0;
    return Bounded(0L, [this, id] { return Locked(0L, [&] { return removeObject_(id); }); });
}

std::wstring CDriver::StreamName() const {
    if (!module_) return L"";
    std::string path = ModuleFileName(module_);
    std::string shortPath = ShortPathName(path);
    if (!shortPath.empty()) path = shortPath;
    return AnsiToWide(path.substr(path.find_last_of('\\') + 1));
}

LONG CDriver::Serialize(IStorage* storage, BOOL save) {
    if (!storage || !serialize_) return 1;
    const std::wstring name = StreamName();
    IStream* opened = nullptr;
    HRESULT hr =
        save ? storage->CreateStream(name.c_str(), STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_WRITE,
                                     0, 0, &opened)
             : storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                   &opened);
    if (FAILED(hr) || !opened) return 1;
    // The work holds the stream: a caller that stops waiting leaves it to the work. Even
    // the window waits the whole limit for it: a configuration is not saved or loaded by half
    // for want of patience.
    ComPtr<IStream> stream = ComPtr<IStream>::Attach(opened);
    ScopedWaitLimit whole(kDriverLockLimitMs);
    Bounded(0L, [this, stream, save] {
        Guarded(0L, [&] { return serialize_(stream.Get(), save); });
        stream->Commit(STGC_DEFAULT);
        return 0L;
    });
    return 1;
}

LONG CDriver::Update(DWORD) {
    if (InsideCall()) return SharedUpdate();
    DriverCall<LONG> update = BeginRefresh();
    return update.Wait(WaitLimit()) ? update.Result() : 0;
}

LONG CDriver::UpdateNow() noexcept {
    if (!update_) return 0;
    LockHolder lock(*this);
    if (!lock) return 0;
    updating_.store(true);
    const LONG result = Guarded(0L, [&] { return update_(0); });
    updating_.store(false);
    return result;
}

// Work of this driver never waits for a task of its pool that may still be queued (all its
// threads could be waiting then): the first one that needs an update runs it itself, and the
// others wait for that one, which is running.
LONG CDriver::SharedUpdate() noexcept {
    {
        SrwLock lock(refreshLock_);
        if (updateRunning_) {
            const ULONGLONG generation = updateGeneration_;
            const bool ended = WaitUntil(updateDone_, refreshLock_, kDriverLockLimitMs,
                                         [&] { return updateGeneration_ != generation; });
            return ended ? lastUpdate_ : 0;
        }
        updateRunning_ = true;
    }
    const LONG result = UpdateNow();
    {
        SrwLock lock(refreshLock_);
        updateRunning_ = false;
        ++updateGeneration_;
        lastUpdate_ = result;
    }
    WakeAllConditionVariable(&updateDone_);
    return result;
}

DriverCall<LONG> CDriver::BeginRefresh() noexcept {
    struct Refresh : DriverCall<LONG>::Task {
        CDriver* driver;
        std::shared_ptr<CDriver> keep;
        explicit Refresh(CDriver* d) : driver(d), keep(d->weak_from_this().lock()) {}
        void Run() noexcept override {
            const LONG answer = driver->SharedUpdate();
            SrwLock lock(driver->refreshLock_);
            result.emplace(answer);
            if (driver->refresh_.get() == this) driver->refresh_.reset();
        }
    };
    try {
        auto task = std::make_shared<Refresh>(this);
        std::shared_ptr<DriverCall<LONG>::Task> shared;
        {
            SrwLock lock(refreshLock_);
            shared = refresh_;  // the one under way
            if (!shared) {
                refresh_ = task;
                if (pool_.Start(task))
                    shared = task;
                else
                    refresh_.reset();
            }
        }
        if (!shared) return {};
        return DriverCall<LONG>(std::move(shared), &pool_);
    } catch (...) {
        return {};
    }
}

LONG CDriver::Start(DWORD arg) {
    return Bounded(0L, [this, arg] {
        LockHolder lock(*this);
        if (!lock) return 0L;
        LONG result = 0;
        if (startCount_ == 0 && start_) result = Guarded(0L, [&] { return start_(arg); });
        ++startCount_;
        return result;
    });
}

LONG CDriver::Stop(DWORD arg) {
    return Bounded(0L, [this, arg] {
        LockHolder lock(*this);
        if (!lock) return 0L;
        if (startCount_ == 0) return 0L;  // an unmatched Stop must not drive the count negative
        if (--startCount_ != 0 || !stop_) return 0L;
        return Guarded(0L, [&] { return stop_(arg); });
    });
}

LONG CDriver::DefaultSettings() {
    if (!defaultSettings_) return 0;
    return Bounded(0L, [this] { return Locked(0L, [&] { return defaultSettings_(); }); });
}

DWORD CDriver::GetObjectIDFromPath(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& name : names) path += "." + name;
    return GetObjectID(0, path);
}
