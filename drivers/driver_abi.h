/* The contract between the OPC server and its driver DLLs. Driver authors include this file.
 *
 * A driver exports thirteen C functions (C calling convention, ANSI strings in the system
 * code page) under exactly these names. DLLDefaultSettings is optional; a DLL that lacks any
 * of the other twelve is refused when it is loaded. DLLChangeClientCount,
 * DLLGetEngineeringUnits, DLLReadChangedTags and DLLWriteValues are optional too, and new
 * drivers should export them (see below).
 *
 * Threads: DLLEditObject, DLLRemoveObject, DLLUpdate, DLLStart, DLLStop and
 * DLLDefaultSettings run while the server holds the driver's own lock, so they never overlap
 * for one driver. All other entry points may run at any time, on any thread, concurrently
 * with each other and with the locked ones: the driver must protect its data for them.
 * The server calls a driver from threads of its own (DLLAddObject and DLLEditObject from the
 * configurator's window, as they show dialogs), and nobody waits for an entry point longer
 * than 10 s: a call that takes longer makes the driver "unresponsive" until it returns, and
 * meanwhile the server calls nothing else of it (its tags read as communication failure,
 * writes and look-ups fail). An entry point that waits for a device should give up well
 * within that time.
 *
 * Memory: names, name lists and the strings of DLLOBJECTINFO that a driver hands to the
 * server are allocated with CoTaskMemAlloc and freed by the server. Strings the server hands
 * to a driver are valid for the call only. The VARIANT passed to DLLSetObjectInfo is a copy
 * that the driver owns from then on (it must clear it).
 *
 * Object identifiers are 32-bit values chosen by the driver; 0 is the root and, from
 * DLLGetObjectID, "no such object". DLLGetObjectID(0, path) also resolves a path of names
 * from the root joined with '.', given with a '.' before every name (".A.B", "" for the root)
 * or without the leading one ("A.B"); both forms name the same object.
 *
 * Child tags: DLLEnumTags on a tag lists its child tags (a "Units" or a "High" beside a
 * temperature). OPC clients see them as the tag's item properties with IDs from 5000 on, in
 * DLLEnumTags order (the first child 5000, the second 5001, ...), the child's name as the
 * description and "<tag's item ID>.<child>" as the item identifier, which clients may add as
 * an item of its own: DLLGetObjectID(0, "A.B.Tag.Child") must find the child. The IDs below
 * 5000 are the OPC standard's (7 the EU type, 100 the EU units, ...), so a child's name gives
 * it no standard meaning: a tag's engineering range and units reach clients only through
 * DLLGetEngineeringUnits. A child that is no tag is listed without value or identifier.
 */
#ifndef OPC_DRIVER_ABI_H
#define OPC_DRIVER_ABI_H

#include <windows.h>
#include <objidl.h>
#include <oaidl.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One driver object. The server zeroes it before every DLLGetObjectInfo.
 *
 *   field         32-bit offset  64-bit offset (natural alignment, same fields and order)
 *   name                0              0
 *   description         4              8
 *   id                  8             16
 *   reserved1          12             20
 *   reserved2          16             24
 *   driverData         20             28
 *   visible            24             32
 *   isTag              28             36
 *   readOnly           32             40
 *   image              36             44
 *   treeImage          38             46
 *   quality            40             48
 *   value              48             56   (VARIANT: 16 bytes on Win32, 24 on Win64)
 *   clients            64             80
 *   timestamp          68             84
 *   reserved3          76             92
 *   size               80             96
 */
typedef struct tagDLLOBJECTINFO {
    char* name;        /* shown in the configurator; CoTaskMemAlloc'ed by the driver */
    char* description; /* the items list's "Description"; same ownership */
    DWORD id;          /* the object's own identifier */
    DWORD reserved1;   /* copied, never interpreted */
    DWORD reserved2;   /* copied, never interpreted */
    DWORD driverData;  /* copied on read, handed back unchanged on write */
    BOOL visible;      /* non-zero: the configurator shows the object */
    BOOL isTag;        /* non-zero: a tag; the fields below are valid only then */
    BOOL readOnly;     /* non-zero: clients may read but not write */
    WORD image;        /* image index: items list, tree when selected */
    WORD treeImage;    /* tree image when not selected */
    WORD quality;      /* OPC quality of the value */
    VARIANT value;     /* its vt is the tag's canonical data type */
    DWORD clients;     /* server items using the tag (kept by the server) */
    FILETIME timestamp;
    DWORD reserved3; /* not interpreted */
} DLLOBJECTINFO;

#ifdef __cplusplus
#define OPC_DRIVER_STATIC_ASSERT static_assert
#else
#define OPC_DRIVER_STATIC_ASSERT _Static_assert
#endif
#ifdef _WIN64
#define OPC_DRIVER_ABI_CHECK(field, offset32, offset64)                    \
    OPC_DRIVER_STATIC_ASSERT(offsetof(DLLOBJECTINFO, field) == (offset64), \
                             "DLLOBJECTINFO"                               \
                             "." #field)
OPC_DRIVER_STATIC_ASSERT(sizeof(DLLOBJECTINFO) == 96, "DLLOBJECTINFO size");
#else
#define OPC_DRIVER_ABI_CHECK(field, offset32, offset64)                    \
    OPC_DRIVER_STATIC_ASSERT(offsetof(DLLOBJECTINFO, field) == (offset32), \
                             "DLLOBJECTINFO"                               \
                             "." #field)
OPC_DRIVER_STATIC_ASSERT(sizeof(DLLOBJECTINFO) == 80, "DLLOBJECTINFO size");
#endif
OPC_DRIVER_ABI_CHECK(name, 0, 0);
OPC_DRIVER_ABI_CHECK(description, 4, 8);
OPC_DRIVER_ABI_CHECK(id, 8, 16);
OPC_DRIVER_ABI_CHECK(reserved1, 12, 20);
OPC_DRIVER_ABI_CHECK(reserved2, 16, 24);
OPC_DRIVER_ABI_CHECK(driverData, 20, 28);
OPC_DRIVER_ABI_CHECK(visible, 24, 32);
OPC_DRIVER_ABI_CHECK(isTag, 28, 36);
OPC_DRIVER_ABI_CHECK(readOnly, 32, 40);
OPC_DRIVER_ABI_CHECK(image, 36, 44);
OPC_DRIVER_ABI_CHECK(treeImage, 38, 46);
OPC_DRIVER_ABI_CHECK(quality, 40, 48);
OPC_DRIVER_ABI_CHECK(value, 48, 56);
OPC_DRIVER_ABI_CHECK(clients, 64, 80);
OPC_DRIVER_ABI_CHECK(timestamp, 68, 84);
OPC_DRIVER_ABI_CHECK(reserved3, 76, 92);
#undef OPC_DRIVER_ABI_CHECK
#undef OPC_DRIVER_STATIC_ASSERT

/* The entry points, in the order the server resolves them. */
typedef LONG(__cdecl* DLLAddObjectProc)(DWORD parent, HWND owner);
typedef LONG(__cdecl* DLLEnumChildrenProc)(DWORD id, char*** names, DWORD* count);
typedef LONG(__cdecl* DLLEnumTagsProc)(DWORD id, char*** names, DWORD* count);
typedef DWORD(__cdecl* DLLGetObjectIDProc)(DWORD parent, const char* name);
typedef LONG(__cdecl* DLLEditObjectProc)(DWORD id, HWND owner);
typedef LONG(__cdecl* DLLGetObjectInfoProc)(DWORD id, DLLOBJECTINFO* info);
typedef LONG(__cdecl* DLLSetObjectInfoProc)(DWORD id, DLLOBJECTINFO* info);
typedef LONG(__cdecl* DLLRemoveObjectProc)(DWORD id);
typedef LONG(__cdecl* DLLSerializeProc)(IStream* stream, BOOL save);
typedef LONG(__cdecl* DLLUpdateProc)(DWORD arg);
typedef LONG(__cdecl* DLLStartProc)(DWORD arg);
typedef LONG(__cdecl* DLLStopProc)(DWORD arg);
typedef LONG(__cdecl* DLLDefaultSettingsProc)(void);

/* Optional: adds `delta` (negative to lower it) to the client count of tag `id`, never going
 * below 0, and changes nothing else; returns the new count, or -1 when `id` is not a tag.
 * Runs without the driver's lock, like DLLSetObjectInfo.
 *
 * Without it the server can keep a tag's client count only by reading the tag's whole record
 * and writing it back with DLLSetObjectInfo, value included: the server then holds the
 * driver's lock around the pair so that no DLLUpdate lands in between, but a value the driver
 * changes on a thread of its own could still be written back stale, and a driver that writes
 * every DLLSetObjectInfo to its device sees a device write for every item a client adds. */
typedef LONG(__cdecl* DLLChangeClientCountProc)(DWORD id, LONG delta);

/* Optional: what tag `id` measures in, for OPC clients that scale trends and deadbands by it.
 * Returns a bit mask of what is known, 0 when nothing is, or -1 when `id` is not a tag:
 *   ENGINEERING_UNITS_RANGE  *low and *high are the span the value is expected to move in,
 *                            low < high (a range with low >= high, or one that is no finite
 *                            number, counts as none); clients see the tag as analog;
 *   ENGINEERING_UNITS_TEXT   *units is the units' name ("degC", "m3/h"), CoTaskMemAlloc'ed.
 * *units is null on entry; the server frees whatever the driver left there, bit or no bit.
 * Runs without the driver's lock, like DLLGetObjectInfo, when a client adds an item (the
 * range) and when it reads the item's properties (both): it should answer from memory.
 *
 * Without it every tag is a plain one: no range, no units (OPC_NOENUM to clients). */
typedef LONG(__cdecl* DLLGetEngineeringUnitsProc)(DWORD id, double* low, double* high,
                                                  char** units);
#define ENGINEERING_UNITS_RANGE 1
#define ENGINEERING_UNITS_TEXT 2

/* Optional: the state of many tags in one call, only where it changed since the server last
 * read it, so that a group's update cycle costs the server next to nothing for tags that did
 * not change. For each i < count: `versions[i]` holds on entry the change number the server
 * last got for tag `ids[i]` (0: none yet). The driver keeps a change number per tag (any
 * value, never 0, that differs after every change of the tag's value, quality or timestamp,
 * the server's own writes included). Where the tag's number differs from versions[i], the
 * driver writes the tag's value into values[i] (the server's: it is VT_EMPTY on entry and the
 * server clears it), its quality into qualities[i], its timestamp into timestamps[i] and its
 * number into versions[i]; where they are equal it writes nothing. An id that is no tag gets
 * versions[i] = 0 and nothing else. Returns the number of tags written, or -1 when it could
 * not read at all (the server then reads each tag with DLLGetObjectInfo).
 * Runs without the driver's lock, like DLLGetObjectInfo, on the server's threads. */
typedef LONG(__cdecl* DLLReadChangedTagsProc)(DWORD count, const DWORD* ids, DWORD* versions,
                                              VARIANT* values, WORD* qualities,
                                              FILETIME* timestamps);

/* Optional: clients' values for many tags in one call, so that a Write costs the driver its
 * own work and no more. For each i < count, values[i] (already in the tag's type, as
 * DLLGetObjectInfo gives it) is for tag ids[i]; the driver sets taken[i] to 1 where it took
 * the value and to 0 where it did not (no such tag, a read-only one, a device that refused or
 * did not confirm the write). The values stay the server's: the driver copies what it keeps.
 * Client counts and driver data are not touched. Returns the number of values taken, or -1
 * when the driver takes none of them this way (it must then have written nothing): the
 * server then hands each over in its whole record, as below.
 * Runs without the driver's lock, like DLLSetObjectInfo, on the server's threads; a client's
 * Write of many items is one call per driver.
 *
 * Without it every value goes back in its tag's whole record: DLLGetObjectInfo, then
 * DLLSetObjectInfo with the new value (and the names and strings the driver allocated and
 * the server frees, once per value). */
typedef LONG(__cdecl* DLLWriteValuesProc)(DWORD count, const DWORD* ids, const VARIANT* values,
                                          BOOL* taken);

/* For the driver's own declarations: extern "C" __declspec(dllexport) __cdecl. */
#ifdef __cplusplus
#define OPC_DRIVER_EXPORT extern "C" __declspec(dllexport)
#else
#define OPC_DRIVER_EXPORT __declspec(dllexport)
#endif

#ifdef __cplusplus
}
#endif

#endif
