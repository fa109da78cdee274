// CDriver: one loaded driver DLL, its thirteen entry points and the host-side operation for
// each. Every call into the driver goes through one guarded path: a C++ exception thrown by a
// driver, or a structured exception raised in it, is caught there and counted, so it never
// reaches a COM interface, the scan thread or the configurator. The locked operations hold the
// driver's own mutex for the call.
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
#include <string>
#include <vector>

#include "driver_abi.h"
#include "object_info.h"
#include "sync.h"

class CDriver {
  public:
    CDriver() noexcept;
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
    };
    TagFacts GetTagFacts(DWORD id);
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
    // The longest anyone waits for a driver's lock (a driver whose entry point never returns
    // keeps it for ever); the call then gives its neutral result.
    static constexpr DWORD kDriverLockLimitMs = 10000;
    void ReadTag(DWORD id, TagReading& reading);
    // Hands a client's value (already in the tag's type) to the tag; the rest of the record
    // goes back as the driver gave it. False when the driver refused it (a device that did
    // not confirm the write, an unknown tag) or has faulted.
    bool WriteValue(DWORD id, const Variant& value);
    // Adds `delta` to a tag's client count, never below 0; nothing for an object that is no
    // tag.
    void ChangeClientCount(DWORD id, LONG delta);
    // The driver keeps client counts itself (DLLChangeClientCount).
    bool CountsClientsItself() const noexcept { return changeClientCount_ != nullptr; }
    LONG RemoveObject(DWORD id);
    // The driver's part of a configuration: its own stream in `storage` (always 1).
    LONG Serialize(IStorage* storage, BOOL save);
    LONG Update(DWORD arg);
    // Start and Stop keep a start count shared by the scan thread and the configurator's
    // debug mode: the driver is started on the first Start and stopped on the last Stop.
    LONG Start(DWORD arg);
    LONG Stop(DWORD arg);
    LONG DefaultSettings();

    // '.' before every name, resolved from the root ("" for an empty list).
    DWORD GetObjectIDFromPath(const std::vector<std::string>& names);

    // The name of this driver's stream in a configuration file: the DLL's file name, from the
    // short form of its path.
    std::wstring StreamName() const;

    HMODULE Module() const noexcept { return module_; }
    LONG StartCount() const noexcept { return startCount_; }
    // Exceptions thrown by the driver and faults raised in it, caught at the boundary.
    ULONG FaultCount() const noexcept { return faults_.load(); }
    // A structured exception (an access violation...) ended one of its calls: it is not
    // called again until the drivers are reloaded. Its tags read as "device failure", its
    // tree as empty.
    bool IsFaulted() const noexcept { return faulted_.load(); }
    // The code of that exception, 0 while none.
    DWORD FaultCode() const noexcept { return faultCode_.load(); }
    // Its lock could not be had within kDriverLockLimitMs (an entry point that does not
    // return): its tags read as "communication failure" until an update of it returns.
    bool IsUnresponsive() const noexcept { return unresponsive_.load(); }
    // An update of it has run longer than kDriverLockLimitMs.
    void MarkUnresponsive() noexcept { unresponsive_.store(true); }
    // A DLLUpdate of it is running now.
    bool IsUpdating() const noexcept { return updating_.load(); }

  private:
    template <class Result, class Call>
    Result Guarded(Result failed, Call&& call) noexcept;
    template <class Result, class Call>
    Result Locked(Result failed, Call&& call) noexcept;
    template <class Call>
    void Safely(Call&& call) noexcept;
    class LockHolder;
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
    std::atomic<ULONG> faults_{0};
    std::atomic<bool> faulted_{false};
    std::atomic<DWORD> faultCode_{0};
    std::atomic<bool> unresponsive_{false};
    std::atomic<bool> updating_{false};
};
