// The Modbus TCP driver: devices on the plant network, read by a worker per device at the
// device's poll period and written through the same connection, with its own dialogs to add
// and edit devices, folders and tags.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "csv_table.h"
#include "device_poller.h"
#include "diagnostics_tags.h"
#include "driver_abi.h"
#include "driver_kit.h"
#include "link_book.h"
#include "modbus_dialogs.h"
#include "modbus_model.h"
#include "tag_csv.h"
#include "text_file.h"

using driver_kit::CoTaskCopy;
using driver_kit::NameList;
using driver_kit::Safely;
using namespace modbus;

namespace {

HINSTANCE g_instance = nullptr;
Model* g_model = nullptr;
LinkBook* g_links = nullptr;
DiagnosticTags* g_diagnostics = nullptr;

constexpr size_t kMaxStreamBytes = 16u << 20;
constexpr DWORD kLongestStopMs = 2000;

// The workers of the devices while the driver is started.
class Workers {
  public:
    void Start() {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
        SyncLocked();
    }

    // Workers for devices added since, none for devices removed (their workers end by
    // themselves as they find the device gone).
    void Sync() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) SyncLocked();
    }

    // Asks every worker to end and waits for them at most the longest response time-out (a
    // worker ends after the request in flight), and never more than 2 s;
    // a worker still waiting for its device keeps the DLL loaded until it is done.
    void Stop() {
        std::map<DWORD, std::shared_ptr<DevicePoller>> workers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            running_ = false;
            workers.swap(workers_);
        }
        DWORD longest = 0;
        for (auto& [device, worker] : workers) {
            worker->Stop();
            if (std::optional<ObjectSettings> s = g_model->Settings(device))
                longest = std::max<DWORD>(longest, s->device.timeoutMs);
        }
        // Not longer than this either: the server holds the driver's lock meanwhile.
        const ULONGLONG deadline = GetTickCount64() + std::min<DWORD>(longest, kLongestStopMs);
        for (auto& [device, worker] : workers) {
            const ULONGLONG now = GetTickCount64();
            worker->WaitEnded(now < deadline ? static_cast<DWORD>(deadline - now) : 0);
        }
    }

    std::shared_ptr<DevicePoller> Of(DWORD device) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto p = workers_.find(device);
        return p == workers_.end() ? nullptr : p->second;
    }

  private:
    void SyncLocked() {
        for (auto p = workers_.begin(); p != workers_.end();)
            p = p->second->Ended() ? workers_.erase(p) : std::next(p);
        for (DWORD device : g_model->Devices()) {
            if (workers_.count(device)) continue;
            auto worker = std::make_shared<DevicePoller>(*g_model, device, g_links);
            if (worker->Start()) workers_[device] = worker;
        }
    }

    std::mutex mutex_;
    bool running_ = false;
    std::map<DWORD, std::shared_ptr<DevicePoller>> workers_;
};

Workers* g_workers = nullptr;

// The request that writes `value` to tag `id`, or nothing when it cannot be written.
bool WriteRequest(const TagSettings& tag, const VARIANT& value, Bytes& request, Reading& written) {
    if (!IsWritable(tag.table)) return false;
    if (IsBitTable(tag.table)) {
        bool on = false;
        if (FAILED(EncodeBit(value, on))) return false;
        request = WriteCoilRequest(tag.address, on);
        return DecodeBit(on, written.value.get());
    }
    std::vector<uint16_t> registers;
    if (FAILED(EncodeRegisters(tag.encoding, value, registers)) || registers.empty()) return false;
    request = registers.size() == 1 ? WriteRegisterRequest(tag.address, registers[0])
                                    : WriteRegistersRequest(tag.address, registers);
    return DecodeRegisters(tag.encoding, registers.data(), registers.size(), written.value.get());
}

// A client's write, confirmed by the device before the tag shows it.
LONG WriteTag(DWORD id, const VARIANT& value) {
    const std::optional<ObjectSettings> settings = g_model->Settings(id);
    if (!settings || settings->kind != Kind::kTag) return 0;
    Bytes request;
    Reading written;
    written.tag = id;
    if (!WriteRequest(settings->tag, value, request, written)) return 0;
    const DWORD device = g_model->DeviceOf(id);
    const std::optional<ObjectSettings> deviceSettings = g_model->Settings(device);
    std::shared_ptr<DevicePoller> worker = g_workers->Of(device);
    if (!worker || !deviceSettings) return 0;
    if (!worker->Write(request, deviceSettings->device.timeoutMs)) return 0;
    GetSystemTimeAsFileTime(&written.timestamp);
    g_model->Show(std::move(written));
    return 1;
}

// The server's icon strip: 0 a computer monitor, 1 a circuit board, 2 a crossed-out box (a
// device that did not answer its last poll), 3 a tag.
WORD ImageOf(const ObjectView& view) {
    switch (view.kind) {
        case Kind::kDevice:
            return view.away ? 2 : 0;
        case Kind::kFolder:
            return 1;
        default:
            return 3;
    }
}

// A diagnostics folder or tag as the server sees it: read-only, always good.
LONG DescribeDiagnostic(DWORD id, DLLOBJECTINFO* info) {
    const DWORD device = g_diagnostics->DeviceOf(id);
    if (device == 0) return 0;
    const bool tag = g_diagnostics->IsTag(id);
    info->name = CoTaskCopy(g_diagnostics->NameOf(id));
    info->description = CoTaskCopy(g_diagnostics->DescriptionOf(id));
    info->id = id;
    info->visible = TRUE;
    info->isTag = tag;
    info->readOnly = TRUE;
    info->image = info->treeImage = tag ? 3 : 1;
    if (tag) {
        info->clients = g_diagnostics->Clients(id);
        info->quality = kQualityGood;
        info->timestamp = g_links->ShownAt();
        DiagnosticTags::Value(id, g_links->Shown(device), &info->value);
    }
    return 1;
}

// Editing a device's diagnostics folder (or one of its tags) offers to reset them: the
// configurator's tree menu is the server's own, and Edit is what a driver gets from it.
bool OfferReset(HWND owner, DWORD id) {
    const DWORD device = g_diagnostics->DeviceOf(id);
    if (device == 0) return false;
    if (MessageBoxW(owner,
                    L"Сбросить диагностику устройства (счётчики запросов, ответов и ошибок)?",
                    L"Modbus TCP", MB_YESNO | MB_ICONQUESTION) != IDYES)
        return false;
    g_links->Reset(device);
    return true;
}

DWORD DeviceNamed(const char* name) {
    const DWORD id = name ? g_model->Find(0, name) : 0;
    return id && g_model->KindOf(id) == Kind::kDevice ? id : 0;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        g_model = new (std::nothrow) Model();
        g_workers = new (std::nothrow) Workers();
        g_links = new (std::nothrow) LinkBook();
        if (g_model) g_diagnostics = new (std::nothrow) DiagnosticTags(*g_model);
        return g_model && g_workers && g_links && g_diagnostics;
    }
    if (reason == DLL_PROCESS_DETACH) {
        // No worker is left: each holds the DLL until it has ended.
        delete g_workers;
        delete g_diagnostics;
        delete g_links;
        delete g_model;
        g_workers = nullptr;
        g_diagnostics = nullptr;
        g_links = nullptr;
        g_model = nullptr;
    }
    return TRUE;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLAddObject(DWORD parent, HWND owner) {
    if (DiagnosticTags::Owns(parent)) return 0;
    return Safely([&] { return ShowAddDialog(g_instance, owner, *g_model, parent) ? 1L : 0L; });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEditObject(DWORD id, HWND owner) {
    return Safely([&] {
        if (DiagnosticTags::Owns(id)) return OfferReset(owner, id) ? 1L : 0L;
        return ShowEditDialog(g_instance, owner, *g_model, id, g_links) ? 1L : 0L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEnumChildren(DWORD id, char*** names, DWORD* count) {
    return Safely([&] {
        std::vector<std::string> children =
            DiagnosticTags::Owns(id) ? std::vector<std::string>() : g_model->Children(id, false);
        for (std::string& ours : g_diagnostics->Children(id, false))
            children.push_back(std::move(ours));
        return NameList(children, names, count);
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEnumTags(DWORD id, char*** names, DWORD* count) {
    return Safely([&] {
        return NameList(DiagnosticTags::Owns(id) ? g_diagnostics->Children(id, true)
                                                 : g_model->Children(id, true),
                        names, count);
    });
}

OPC_DRIVER_EXPORT DWORD __cdecl DLLGetObjectID(DWORD parent, const char* name) {
    return driver_kit::ObjectId(*g_diagnostics, parent, name);
}

OPC_DRIVER_EXPORT LONG __cdecl DLLGetObjectInfo(DWORD id, DLLOBJECTINFO* info) {
    if (!info) return 0;
    return Safely([&] {
        if (DiagnosticTags::Owns(id)) return DescribeDiagnostic(id, info);
        return g_model->Describe(
                   id,
                   [&](const ObjectView& view) {
                       const bool tag = view.kind == Kind::kTag;
                       info->name = CoTaskCopy(*view.name);
                       info->description = CoTaskCopy(*view.description);
                       info->id = id;
                       info->driverData = view.driverData;
                       info->visible = TRUE;
                       info->isTag = tag;
                       info->readOnly = !tag || !IsWritable(view.tag->table);
                       info->image = info->treeImage = ImageOf(view);
                       info->clients = view.clients;
                       if (tag) {
                           info->quality = view.quality;
                           info->timestamp = view.timestamp;
                           if (V_VT(view.value) != VT_EMPTY) {
                               if (FAILED(
                                       VariantCopy(&info->value, const_cast<VARIANT*>(view.value))))
                                   info->quality = kQualityCommFailure;
                           } else {
                               // A tag not read yet still tells its type: the server takes its
                               // canonical type from the value.
                               const VARTYPE type = ValueType(view.tag->encoding);
                               V_VT(&info->value) = type;
                               if (type == VT_BSTR) V_BSTR(&info->value) = SysAllocString(L"");
                           }
                       }
                   })
                   ? 1L
                   : 0L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLSetObjectInfo(DWORD id, DLLOBJECTINFO* info) {
    if (!info) return 0;
    const LONG result = Safely([&] {
        if (DiagnosticTags::Owns(id)) {
            if (!g_diagnostics->IsTag(id)) return 0L;
            g_diagnostics->ChangeClients(id, static_cast<LONG>(info->clients) -
                                                 static_cast<LONG>(g_diagnostics->Clients(id)));
            return V_VT(&info->value) == VT_EMPTY ? 1L : 0L;  // read-only
        }
        g_model->SetClients(id, info->clients, info->driverData);
        return V_VT(&info->value) == VT_EMPTY ? 1L : WriteTag(id, info->value);
    });
    VariantClear(&info->value);  // the copy is ours
    return result;
}

// The count alone: a client adding an item never writes to the device.
OPC_DRIVER_EXPORT LONG __cdecl DLLChangeClientCount(DWORD id, LONG delta) {
    return Safely([&] {
        return DiagnosticTags::Owns(id) ? g_diagnostics->ChangeClients(id, delta)
                                        : g_model->ChangeClients(id, delta);
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLGetEngineeringUnits(DWORD id, double* low, double* high,
                                                      char** units) {
    if (!low || !high || !units) return 0;
    return Safely([&] {
        if (DiagnosticTags::Owns(id)) return g_diagnostics->IsTag(id) ? 0L : -1L;
        const std::optional<ObjectSettings> settings = g_model->Settings(id);
        if (!settings || settings->kind != Kind::kTag) return -1L;
        LONG known = 0;
        if (TagRange(settings->tag, *low, *high)) known |= ENGINEERING_UNITS_RANGE;
        if (!settings->tag.units.empty()) {
            *units = CoTaskCopy(settings->tag.units);
            if (*units) known |= ENGINEERING_UNITS_TEXT;
        }
        return known;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLRemoveObject(DWORD id) {
    return Safely([&] {
        if (DiagnosticTags::Owns(id)) return 0L;  // the driver's, not the user's
        if (g_model->KindOf(id) == Kind::kDevice) g_links->Forget(id);
        g_model->Remove(id);
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLSerialize(IStream* stream, BOOL save) {
    const LONG done = driver_kit::Serialize(stream, save, *g_model, kMaxStreamBytes);
    // A loaded configuration numbers its devices afresh: no device inherits another's counts.
    if (done && !save)
        Safely([] {
            g_links->ForgetAll();
            return 1L;
        });
    return done;
}

// Hands over what the workers last read; reads nothing itself.
OPC_DRIVER_EXPORT LONG __cdecl DLLUpdate(DWORD) {
    return Safely([] {
        g_workers->Sync();
        g_model->HandOver();
        g_links->Publish();
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLStart(DWORD) {
    return Safely([] {
        g_workers->Start();
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLStop(DWORD) {
    return Safely([] {
        g_workers->Stop();
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLDefaultSettings() {
    return Safely([] {
        g_model->BuildExample();
        return 1L;
    });
}

// The tag lists of opcdefaults (tools/defaults), which loads the driver as the server does:
// no part of the server's contract. A device's tags written to `file` as CSV: 1, or 0 for an
// unknown device or a file that could not be written.
OPC_DRIVER_EXPORT LONG __cdecl ModbusExportTagCsv(const char* device, const wchar_t* file) {
    if (!file) return 0;
    return Safely([&] {
        const DWORD id = DeviceNamed(device);
        return id && WriteWholeFile(file, WriteTagCsv(*g_model, id)) ? 1L : 0L;
    });
}

// The tags of `file` added to a device: every row, or none when one is refused, unless
// `goodRows` takes the others. Returns the number added, -1 for an unknown device or a file
// that could not be read, -2 when rows were refused and nothing was added. `*report` (UTF-8,
// CoTaskMemAlloc'ed, the caller frees it) lists every refused row with its line and why.
OPC_DRIVER_EXPORT LONG __cdecl ModbusImportTagCsv(const char* device, const wchar_t* file,
                                                  BOOL goodRows, char** report) {
    if (!file || !report) return -1;
    *report = nullptr;
    return Safely([&] {
        const DWORD id = DeviceNamed(device);
        std::string bytes;
        if (!id || !ReadWholeFile(file, bytes, kMaxCsvBytes)) return -1L;
        const TagImport import = ReadTagCsv(*g_model, id, bytes);
        if (!import.refused.empty()) *report = CoTaskCopy(ToUtf8(RefusalText(import, SIZE_MAX)));
        if (!import.refused.empty() && !goodRows) return -2L;
        return static_cast<LONG>(AddTagRows(*g_model, id, import.good));
    });
}
