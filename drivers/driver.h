// CDriver: one loaded driver DLL, its entry points and the host-side operation for
// each. Every call into the driver goes through one guarded path: a C++ exception thrown by a
// driver, or a structured exception raised in it, is caught there and counted, so it never
// reaches a COM interface, the scan thread or the configurator. The locked operations hold the
// driver's own mutex for the call.
//
// Nobody waits for a driver longer than a time limit. Every operation runs on the driver's
// own threads (DriverCallPool) and its caller waits at most the calling thread's wait limit
// (kDriverLockLimitMs unless the thread set a shorter one); past it the caller gets the
// operation's neutral result and goes on. A call of the driver that has run longer than
// kDriverLockLimitMs makes the driver unresponsive: from then on every operation gives its
// neutral result at once, and its tags read as "communication failure", until that call has
// returned. Work of many calls into one driver (the items of a read) is one task (Begin),
// inside which the operations call the driver directly. The two operations that show the
// driver's dialogs (AddObject, EditObject) run on the caller's thread, the window's.
//
// A tag's record is changed in two ways: a client's value is written, and its client count
// moves as items come and go. Both go through this class, which never writes back a value it
// did not mean to write: a value write and a count update of one driver never overlap (the
// record lock), a driver that can take the count alone gets only the count, and for one that
// cannot, the whole-record read-modify-write also excludes the driver's DLLUpdate.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver_abi.h"
#include "driver_call_pool.h"
#include "object_info.h"
#include "sync.h"

// A piece of work begun on a driver's threads, whose result the caller may wait for.
template <class R>
class DriverCall {
  public:
    DriverCall() = default;
    // True once the work has finished and its result is there; waits at most `ms`. False
    // for work that never began (an unresponsive driver).
    bool Wait(DWORD ms) noexcept { return task_ && pool_->Wait(task_, ms) && task_->result; }
    // After a successful Wait.
    R& Result() noexcept { return *task_->result; }

    struct Task : DriverCallPool::Task {
        std::optional<R> result;
    };
    DriverCall(std::shared_ptr<Task> task, DriverCallPool* pool) noexcept
        : task_(std::move(task)), pool_(pool) {}

  private:
    std::shared_ptr<Task> task_;
    DriverCallPool* pool_ = nullptr;
};

class CDriver : public std::enable_shared_from_this<CDriver> {
  public:
    CDriver();
    virtual ~CDriver();
    CDriver(const CDriver&) = delete;
    CDriver& operator=(const CDriver&) = delete;

    // Loads the DLL and resolves the entry points. A DLL lacking any of the twelve mandatory
    // exports is refused (FALSE), so no null entry point can ever be called.
    BOOL Load(const std::string& name);

    LONG AddObject(DWORD parent, HWND owner);
    void EnumChildren(std::vector<std::string>& list, DWORD id);
    void EnumTags(std::vector<std::string>& list, DWORD id);
    DWORD GetObjectID(DWORD parent, const std::string& name);
    DWORD GetObjectID(DWORD parent, const char* name);
    LONG EditObject(DWORD id, HWND owner);
    void GetObjectInfo(DWORD id, CObjectInfo& info);
    // The driver's answer: nonzero when it took the record.
    LONG SetObjectInfo(DWORD id, const CObjectInfo& info);

    // What an item needs to know of a tag, without copying its record's strings.
    struct TagFacts {
        bool isTag = false;
        bool readOnly = false;
        VARTYPE type = VT_EMPTY;  // the canonical data type
        // The engineering range the driver gives for the tag, if any (an analog item).
        bool hasRange = false;
        double euLow = 0, euHigh = 0;
    };
    // With the range of DLLGetEngineeringUnits where the driver has it: one more call of the
    // driver within the same piece of work.
    TagFacts GetTagFacts(DWORD id);
    // What a tag measures in (DLLGetEngineeringUnits). Nothing from a driver without the
    // entry point, for an object that is no tag, or from a driver that faulted or did not
    // answer in time; a range that is no finite span with low < high is no range.
    struct EngineeringUnits {
        bool hasRange = false;
        double low = 0, high = 0;
        bool hasUnits = false;
        std::string units;  // in the system code page, as the driver gave it
    };
    EngineeringUnits GetEngineeringUnits(DWORD id);
    // What a read needs of a record: the value, quality and timestamp of a tag (nothing for
    // an object that is no tag), without copying the record's strings.
    struct TagReading {
        Variant value;
        WORD quality = 0;
        FILETIME timestamp{};
        bool driverFailed = false;  // faulted or unresponsive: only quality and time are meant
    };
    // OPC_QUALITY_BAD with the "device failure" and the "communication failure" substatus.
    static constexpr WORD kQualityDeviceFailure = 0x0C;
    static constexpr WORD kQualityCommFailure = 0x18;
    // The longest anyone waits for a driver (a driver whose entry point never returns keeps
    // its thread, and its lock, for ever); the call then gives its neutral result.
    static constexpr DWORD kDriverLockLimitMs = 10000;
    // How long the calling thread waits for one operation: kDriverLockLimitMs, or less where
    // the thread set it so (the configurator's window waits briefly and shows what it has).
    static DWORD WaitLimit() noexcept;
    class ScopedWaitLimit {
      public:
        explicit ScopedWaitLimit(DWORD ms) noexcept;
        ~ScopedWaitLimit();
        ScopedWaitLimit(const ScopedWaitLimit&) = delete;
        ScopedWaitLimit& operator=(const ScopedWaitLimit&) = delete;

      private:
        DWORD previous_;
    };
    // What a read gives for a tag of a driver that did not answer in time.
    static TagReading UnansweredReading() noexcept;
    // The driver says which tags changed since the server last read them (DLLReadChangedTags).
    bool ReadsChangedTags() const noexcept { return readChangedTags_ != nullptr; }
    // Reads the tags of `ids` whose change number differs from `versions` (see
    // DLLReadChangedTags): for each such tag its position goes to `changedAt` and its reading
    // to `readings` (in the same order), and `versions` takes its new number. False when the
    // driver could not read (it has no such entry point, refused, faulted or did not
    // answer): nothing was read then. Throws std::bad_alloc.
    bool ReadChangedTags(const std::vector<DWORD>& ids, std::vector<DWORD>& versions,
                         std::vector<DWORD>& changedAt, std::vector<TagReading>& readings);
    void ReadTag(DWORD id, TagReading& reading);
    // Hands a client's value (already in the tag's type) to the tag; the rest of the record
    // goes back as the driver gave it. False when the driver refused it (a device that did
    // not confirm the write, an unknown tag) or has faulted.
    bool WriteValue(DWORD id, const Variant& value);
    // The same for many tags: one DLLWriteValues where the driver has it, else WriteValue for
    // each. Which values the driver took, in order.
    std::vector<bool> WriteValues(const std::vector<DWORD>& ids,
                                  const std::vector<Variant>& values);
    // Adds `delta` to a tag's client count, never below 0; nothing for an object that is no
    // tag.
    void ChangeClientCount(DWORD id, LONG delta);
    // The driver keeps client counts itself (DLLChangeClientCount).
    bool CountsClientsItself() const noexcept { return changeClientCount_ != nullptr; }
    LONG RemoveObject(DWORD id);
    // The driver's part of a configuration: its own stream in `storage` (always 1).
    LONG Serialize(IStorage* storage, BOOL save);
    // One fresh DLLUpdate within the wait limit: joins an update already under way, or
    // begins one. The driver's result, 0 when none came in time.
    LONG Update(DWORD arg);
    // The same without waiting: what a caller waits for (DriverCall::Wait). Concurrent
    // callers share one update.
    DriverCall<LONG> BeginRefresh() noexcept;
    // Start and Stop keep a start count shared by the scan thread and the configurator's
    // debug mode: the driver is started on the first Start and stopped on the last Stop.
    LONG Start(DWORD arg);
    LONG Stop(DWORD arg);
    LONG DefaultSettings();

    // '.' before every name, resolved from the root ("" for an empty list).
    DWORD GetObjectIDFromPath(const std::vector<std::string>& names);

    // Begins `work(*this)` on the driver's threads, where the operations of this driver call
    // it directly. `work` owns whatever it uses: a caller that stops waiting leaves it behind.
    // Nothing begins for a driver that has kept a call longer than the calling thread's wait
    // limit, unresponsive or not (the call's Wait fails at once).
    template <class R, class Work>
    DriverCall<R> Begin(Work work) noexcept;
    // True on a thread that runs work of this driver.
    bool InsideCall() const noexcept { return pool_.OnPoolThread(); }

    // The name of this driver's stream in a configuration file: the DLL's file name, from the
    // short form of its path.
    std::wstring StreamName() const;

    HMODULE Module() const noexcept { return module_; }
    // Set once the driver is gone and its DLL released (the end of its destructor, which may
    // run on another thread after its last reference went).
    using ReleaseMark = std::shared_ptr<std::atomic<bool>>;
    ReleaseMark Released() const noexcept { return released_; }
    LONG StartCount() const noexcept { return startCount_; }
    // Exceptions thrown by the driver and faults raised in it, caught at the boundary.
    ULONG FaultCount() const noexcept { return faults_.load(); }
    // A structured exception (an access violation...) ended one of its calls: it is not
    // called again until the drivers are reloaded. Its tags read as "device failure", its
    // tree as empty.
    bool IsFaulted() const noexcept { return faulted_.load(); }
    // The code of that exception, 0 while none.
    DWORD FaultCode() const noexcept { return faultCode_.load(); }
    // A call of it has run longer than kDriverLockLimitMs and not returned yet (an entry
    // point that does not return): its tags read as "communication failure" meanwhile.
    bool IsUnresponsive() const noexcept { return pool_.AnyRunningLongerThan(kDriverLockLimitMs); }
    // A DLLUpdate of it is running now.
    bool IsUpdating() const noexcept { return updating_.load(); }

  private:
    // Runs `work()` on the driver's threads (directly when already there) and waits for it
    // at most the thread's wait limit; `failed` when it did not finish in time.
    template <class Result, class Work>
    Result Bounded(Result failed, Work work) noexcept;
    template <class Result, class Call>
    Result Guarded(Result failed, Call&& call) noexcept;
    template <class Result, class Call>
    Result Locked(Result failed, Call&& call) noexcept;
    template <class Call>
    void Safely(Call&& call) noexcept;
    // DLLUpdate under the driver's lock, on the caller's thread (one of the driver's own).
    LONG UpdateNow() noexcept;
    // The same, or the result of the one another of its threads is running now.
    LONG SharedUpdate() noexcept;
    class LockHolder;
    // DLLGetEngineeringUnits on the caller's thread (one of the driver's own).
    EngineeringUnits AskEngineeringUnits(DWORD id) noexcept;
    // DLLEnumChildren and DLLEnumTags share one signature.
    void EnumNames(DLLEnumChildrenProc proc, std::vector<std::string>& list, DWORD id);

    HMODULE module_ = nullptr;
    LONG startCount_ = 0;
    ProcessMutex lock_;
    // Serialises value writes and count updates; taken after lock_, never before it.
    CriticalSection recordLock_;
    DLLAddObjectProc addObject_ = nullptr;
    DLLEnumChildrenProc enumChildren_ = nullptr;
    DLLEnumTagsProc enumTags_ = nullptr;
    DLLGetObjectIDProc getObjectId_ = nullptr;
    DLLEditObjectProc editObject_ = nullptr;
    DLLGetObjectInfoProc getObjectInfo_ = nullptr;
    DLLSetObjectInfoProc setObjectInfo_ = nullptr;
    DLLRemoveObjectProc removeObject_ = nullptr;
    DLLSerializeProc serialize_ = nullptr;
    DLLUpdateProc update_ = nullptr;
    DLLStartProc start_ = nullptr;
    DLLStopProc stop_ = nullptr;
    DLLDefaultSettingsProc defaultSettings_ = nullptr;
    DLLChangeClientCountProc changeClientCount_ = nullptr;
    DLLReadChangedTagsProc readChangedTags_ = nullptr;
    DLLWriteValuesProc writeValues_ = nullptr;
    DLLGetEngineeringUnitsProc getEngineeringUnits_ = nullptr;
    std::atomic<ULONG> faults_{0};
    std::atomic<bool> faulted_{false};
    std::atomic<DWORD> faultCode_{0};
    std::atomic<bool> updating_{false};
    ReleaseMark released_ = std::make_shared<std::atomic<bool>>(false);
    // The update under way, shared by everyone who asks for one meanwhile: the task begun
    // for callers outside the driver's threads, and the update running on one of them.
    SRWLOCK refreshLock_ = SRWLOCK_INIT;
    std::shared_ptr<DriverCall<LONG>::Task> refresh_;
    CONDITION_VARIABLE updateDone_ = CONDITION_VARIABLE_INIT;
    bool updateRunning_ = false;
    ULONGLONG updateGeneration_ = 0;
    LONG lastUpdate_ = 0;
    // Last member: closed first, before anything its tasks use is gone.
    DriverCallPool pool_;
};

template <class R, class Work>
DriverCall<R> CDriver::Begin(Work work) noexcept {
    // Nothing new for a driver that keeps a call longer than this caller would wait.
    if (pool_.AnyRunningLongerThan(WaitLimit())) return {};
    struct Task : DriverCall<R>::Task {
        Work work;
        CDriver* driver;
        // Keeps the driver (and its DLL) while the work runs, however long; let go with the
        // task, after its thread has left the pool's books.
        std::shared_ptr<CDriver> keep;
        Task(Work w, CDriver* d)
            : work(std::move(w)), driver(d), keep(d->weak_from_this().lock()) {}
        void Run() noexcept override {
            try {
                this->result.emplace(work(*driver));
            } catch (...) {
                // No memory for the result: the caller sees no answer.
            }
        }
    };
    try {
        auto task = std::make_shared<Task>(std::move(work), this);
        if (!pool_.Start(task)) return {};
        return DriverCall<R>(std::move(task), &pool_);
    } catch (...) {
        return {};
    }
}
