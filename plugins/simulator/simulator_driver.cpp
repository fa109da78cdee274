// The simulator driver: the demo data source of the server. A tree of devices, folders and
// tags whose values follow simulated behaviours, with its own dialogs to add and edit them.
#include <windows.h>
#include <objbase.h>
#include <string>
#include <vector>

#include "driver_abi.h"
#include "driver_kit.h"
#include "sim_dialogs.h"
#include "sim_model.h"

using driver_kit::CoTaskCopy;
using driver_kit::NameList;
using driver_kit::Safely;

namespace {

HINSTANCE g_instance = nullptr;
SimModel* g_model = nullptr;

constexpr size_t kMaxStreamBytes = 16u << 20;

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        g_model = new (std::nothrow) SimModel();
        return g_model != nullptr;
    }
    if (reason == DLL_PROCESS_DETACH) {
        delete g_model;
        g_model = nullptr;
    }
    return TRUE;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLAddObject(DWORD parent, HWND owner) {
    return Safely(
        [&] { return ShowAddObjectDialog(g_instance, owner, *g_model, parent) ? 1L : 0L; });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEnumChildren(DWORD id, char*** names, DWORD* count) {
    return Safely([&] { return NameList(g_model->Children(id, false), names, count); });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEnumTags(DWORD id, char*** names, DWORD* count) {
    return Safely([&] { return NameList(g_model->Children(id, true), names, count); });
}

OPC_DRIVER_EXPORT DWORD __cdecl DLLGetObjectID(DWORD parent, const char* name) {
    return driver_kit::ObjectId(*g_model, parent, name);
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEditObject(DWORD id, HWND owner) {
    return Safely([&] { return ShowEditObjectDialog(g_instance, owner, *g_model, id) ? 1L : 0L; });
}

namespace {

// The server's icon strip: 0 a computer monitor, 1 a circuit board, 2 a crossed-out box,
// 3 a tag. A device without connection shows the crossed-out box.
WORD ImageOf(const SimObjectView& view) {
    switch (view.settings.kind) {
        case SimKind::Device:
            return view.settings.offline ? 2 : 0;
        case SimKind::Folder:
            return 1;
        default:
            return 3;
    }
}

}  // namespace

OPC_DRIVER_EXPORT LONG __cdecl DLLGetObjectInfo(DWORD id, DLLOBJECTINFO* info) {
    if (!info) return 0;
    return Safely([&] {
        const bool known =
            g_model->Describe(id, [&](const std::string& name, const std::string& description,
                                      const SimObjectView& view) {
                const SimKind kind = view.settings.kind;
                info->name = CoTaskCopy(name);
                info->description = CoTaskCopy(description);
                info->id = id;
                info->driverData = view.driverData;
                info->visible = TRUE;
                info->isTag = kind == SimKind::Tag;
                info->readOnly = !view.writable;
                info->image = info->treeImage = ImageOf(view);
                info->quality = view.quality;
                info->value = view.value;  // handed over: the server frees it
                info->clients = view.clients;
                info->timestamp = view.timestamp;
            });
        return known ? 1L : 0L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLSetObjectInfo(DWORD id, DLLOBJECTINFO* info) {
    if (!info) return 0;
    LONG result = Safely([&] {
        g_model->Store(id, info->clients, info->driverData, info->value);
        return 1L;
    });
    VariantClear(&info->value);  // the copy is ours
    return result;
}

// A client's Write, all of it at once: one look at the tree for every value.
OPC_DRIVER_EXPORT LONG __cdecl DLLWriteValues(DWORD count, const DWORD* ids, const VARIANT* values,
                                              BOOL* taken) {
    if (count && (!ids || !values || !taken)) return 0;
    return Safely([&] { return g_model->WriteMany(count, ids, values, taken); });
}

// The count alone: a client adding an item never rewrites the tag's value.
OPC_DRIVER_EXPORT LONG __cdecl DLLChangeClientCount(DWORD id, LONG delta) {
    return Safely([&] { return g_model->ChangeClients(id, delta); });
}

// The range only: the simulator's tags have no units of their own (the demo tree shows them
// as a child tag, the way projects did before drivers could give them).
OPC_DRIVER_EXPORT LONG __cdecl DLLGetEngineeringUnits(DWORD id, double* low, double* high, char**) {
    if (!low || !high) return 0;
    return Safely([&] {
        const SimRange range = g_model->Range(id);
        if (!range.isTag) return -1L;
        if (!range.known) return 0L;
        *low = range.low;
        *high = range.high;
        return static_cast<LONG>(ENGINEERING_UNITS_RANGE);
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLRemoveObject(DWORD id) {
    return Safely([&] {
        g_model->Remove(id);
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLSerialize(IStream* stream, BOOL save) {
    return driver_kit::Serialize(stream, save, *g_model, kMaxStreamBytes);
}

OPC_DRIVER_EXPORT LONG __cdecl DLLUpdate(DWORD) {
    return Safely([] {
        g_model->Update();
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLStart(DWORD) {
    return Safely([] {
        g_model->Update();
        return 1L;
    });
}

OPC_DRIVER_EXPORT LONG __cdecl DLLStop(DWORD) {
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLDefaultSettings() {
    return Safely([] {
        g_model->BuildDemoTree();
        return 1L;
    });
}
