// The probe driver: a driver for tests. Its tree and its misbehaviours come from a text
// configuration ("<dll path>.txt" beside the DLL, or its configuration stream), and it
// records every entry-point call, on entry and on exit, in "<dll path>.log" (or the file
// named by log=), where a test in any process can read it.
//
// Configuration lines (key=value, '#' starts a comment):
//   root=NAME                    name of the root object
//   branch=A.B                   a branch (parents must come first)
//   bench=A.B:COUNT              a branch for benchmarks (parents must come first) holding
//                                COUNT R8 tags T00000, T00001, ... (value 0, good quality;
//                                more digits when COUNT is over 100000, as many for all,
//                                so that their names sort in order) and a writable R8 tag
//                                ChangePercent (0). While ChangePercent is p > 0, every
//                                DLLUpdate adds 1 to ceil(COUNT * p / 100) of the T tags
//                                and stamps them with the update's time: the next ones after
//                                those of the update before, wrapping round. The T tags keep
//                                their timestamp otherwise, unlike every other tag.
//   tag=A.B.T:TYPE:VALUE[:ro][:q=HEX]  a tag; TYPE is I1 UI1 I2 I4 R4 R8 BOOL BSTR DATE,
//                                or one of them with [] for an array whose VALUE lists the
//                                elements with ';' between them; ro: read-only; q=: its
//                                quality (default C0)
//   subtag=A.B.T.S:TYPE:VALUE    a tag under a tag (an extra item property)
//   eu=A.B.T:LOW:HIGH[:UNITS]    what DLLGetEngineeringUnits gives for the tag: the range
//                                (none when LOW and HIGH are empty, else as written, "nan"
//                                and low >= high included) and UNITS when given
//   stamp=TICKS                  every tag's timestamp, from the start and after every
//                                DLLUpdate: this FILETIME (100 ns since 1601, UTC) instead of
//                                the time of the update
//   update_delay_ms=N            DLLUpdate takes this long
//   call_delay_ms=N              every entry point takes this long (to show overlaps)
//   load_delay_ms=N              DLLSerialize takes this long before it reads a stream
//   info_delay_ms=N              DLLGetObjectInfo returns this long after it copied the
//                                record (so that what it returned is stale for a while)
//   untouched_info=1             DLLGetObjectInfo leaves the record as it is
//   unresolvable=1               every name resolves to 0
//   cyclic=1                     every branch has a child "Back" that is the branch itself
//   mixed=1                      DLLEnumChildren and DLLEnumTags both list every child, tag or
//                                not, as a driver that does not sort them may
//   throw=ENTRY,ENTRY            these entry points throw a C++ exception
//   fault=ENTRY,ENTRY            these entry points write through a null pointer (an access
//                                violation, a structured exception)
//   hang=ENTRY,ENTRY             these entry points never return
//   hang_while=PATH              ... only while the file PATH exists: they hang when it is
//                                there as they are called, and return once it is removed
//   quality_while=PATH:HEX       every tag reads with quality HEX while the file PATH exists
//                                (a device that goes bad and comes back, without a restart)
//   write_values=1               DLLWriteValues takes clients' values (otherwise it declines,
//                                unlogged, and the server writes whole records)
//   write_refused=A.B.T          DLLWriteValues refuses values for this tag (one per line)
//   log=PATH                     where the calls are recorded ("off": nowhere)
//
// Log lines: "SEQ|>|ENTRY|ARGS|THREAD" on entry and "SEQ|<|ENTRY|ARGS|THREAD" on exit, where
// the exit line's ARGS may end in "=>RESULT". DLLSetObjectInfo's ARGS are "ID,NAME,CLIENTS",
// and "=>VALUE" on exit for a value it took (in English number format),
// DLLChangeClientCount's "ID,NAME,DELTA" and on exit "ID,NAME,DELTA=>NEW COUNT".
// DLLWriteValues' ARGS are the count, and on exit "COUNT=>ID:VALUE;ID:VALUE...=>TAKEN" with
// the values it took.
//
// Built three ways: the full probe; one without DLLEditObject (refused by the host); one
// without the optional DLLChangeClientCount, DLLGetEngineeringUnits, DLLReadChangedTags and
// DLLWriteValues, as drivers written before them are.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_abi.h"

namespace {

struct Object {
    DWORD parent = 0;
    std::string name;
    bool isTag = false;
    bool readOnly = false;
    VARIANT value{};
    WORD quality = 0xC0;
    DWORD clients = 0;
    DWORD driverData = 0;
    FILETIME timestamp{};
    // Its change number for DLLReadChangedTags: drawn afresh from g_changes at every change of
    // value or timestamp, so that no number is ever reused, not even by a reloaded tree.
    DWORD version = 0;
    std::string eu;                       // eu=: "LOW:HIGH[:UNITS]"
    bool refusesWrites = false;           // write_refused=
    std::vector<DWORD> children;          // branches and tags, in order of creation
    std::map<std::string, DWORD> byName;  // the children by name, for lookups of big trees
};

struct Settings {
    std::string root = "Probe";
    ULONGLONG stamp = 0;  // 0: the time of each update
    DWORD updateDelayMs = 0;
    DWORD callDelayMs = 0;
    DWORD loadDelayMs = 0;
    DWORD infoDelayMs = 0;
    bool untouchedInfo = false;
    bool unresolvable = false;
    bool cyclic = false;
    bool mixed = false;
    bool writeValues = false;  // DLLWriteValues takes values (else it declines)
    std::string throwing;      // ",A,B,"
    std::string faulting;      // ",A,B,"
    std::string hanging;       // ",A,B,"
    std::string hangWhile;     // a file's path; empty: for ever
    std::string qualityWhile;  // a file's path; empty: the tags' own qualities
    WORD qualityWhilePresent = 0;
    std::string logPath;
};

CRITICAL_SECTION g_lock;
DWORD g_changes = 0;  // guarded by g_lock

void Changed(Object& o) {
    o.version = ++g_changes;
}
HMODULE g_module = nullptr;
Settings g_settings;
std::string g_configText;
std::map<DWORD, Object> g_objects;
DWORD g_nextId = 1;
volatile LONG g_sequence = 0;
HANDLE g_log = INVALID_HANDLE_VALUE;

struct Locked {
    Locked() { EnterCriticalSection(&g_lock); }
    ~Locked() { LeaveCriticalSection(&g_lock); }
};

std::string DllPath() {
    char path[MAX_PATH * 4] = "";
    GetModuleFileNameA(g_module, path, sizeof(path));
    return path;
}

void ClearObjects() {
    for (auto& entry : g_objects) VariantClear(&entry.second.value);
    g_objects.clear();
}

DWORD FindChild(DWORD parent, const std::string& name) {
    auto p = g_objects.find(parent);
    if (p == g_objects.end()) return 0;
    if (g_settings.cyclic && !p->second.isTag && name == "Back") return parent;
    auto child = p->second.byName.find(name);
    return child == p->second.byName.end() ? 0 : child->second;
}

DWORD FindPath(const std::string& path) {
    std::string rest = !path.empty() && path[0] == '.' ? path.substr(1) : path;
    if (rest.empty()) return 0;
    DWORD id = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = rest.find('.', start);
        id = FindChild(id, rest.substr(start, dot - start));
        if (!id || dot == std::string::npos) return id;
        start = dot + 1;
    }
}

VARTYPE TypeOf(const std::string& name) {
    static const std::pair<const char*, VARTYPE> types[] = {
        {"I1", VT_I1}, {"UI1", VT_UI1},   {"I2", VT_I2},     {"I4", VT_I4},    {"R4", VT_R4},
        {"R8", VT_R8}, {"BOOL", VT_BOOL}, {"BSTR", VT_BSTR}, {"DATE", VT_DATE}};
    for (const auto& t : types)
        if (name == t.first) return t.second;
    return VT_EMPTY;
}

// `text` (in the ANSI code page, English number format) as a VARIANT of `type`.
void ConvertText(const std::string& text, VARTYPE type, VARIANT& out) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(),
                                                        static_cast<int>(text.size()), wide.data(),
                                                        static_cast<int>(wide.size()))));
    VARIANT source;
    V_VT(&source) = VT_BSTR;
    V_BSTR(&source) = SysAllocString(wide.c_str());
    VariantChangeTypeEx(&out, &source, 0x409, 0, type);
    VariantClear(&source);
}

// A one-dimensional array of `type` from elements separated by ';'.
VARIANT ArrayOf(VARTYPE type, const std::string& list) {
    std::vector<std::string> texts;
    std::stringstream in(list);
    for (std::string part; std::getline(in, part, ';');) texts.push_back(part);
    VARIANT result;
    VariantInit(&result);
    SAFEARRAY* array = SafeArrayCreateVector(type, 0, static_cast<ULONG>(texts.size()));
    if (!array) return result;
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        VARIANT element;
        VariantInit(&element);
        ConvertText(texts[static_cast<size_t>(i)], type, element);
        // BSTRs go in by value, the rest by address; the array keeps copies.
        SafeArrayPutElement(array, &i,
                            type == VT_BSTR ? static_cast<void*>(V_BSTR(&element))
                                            : static_cast<void*>(&V_UI1(&element)));
        VariantClear(&element);
    }
    V_VT(&result) = static_cast<VARTYPE>(VT_ARRAY | type);
    V_ARRAY(&result) = array;
    return result;
}

void AddObject(const std::string& path, bool isTag, const std::string& spec) {
    const size_t dot = path.find_last_of('.');
    const DWORD parent = dot == std::string::npos ? 0 : FindPath(path.substr(0, dot));
    if (dot != std::string::npos && parent == 0) return;  // unknown parent
    Object object;
    object.parent = parent;
    object.name = dot == std::string::npos ? path : path.substr(dot + 1);
    object.isTag = isTag;
    VariantInit(&object.value);
    if (isTag) {
        std::vector<std::string> parts;
        std::stringstream in(spec);
        for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
        std::string typeName = parts.empty() ? "R8" : parts[0];
        const bool array =
            typeName.size() > 2 && typeName.compare(typeName.size() - 2, 2, "[]") == 0;
        if (array) typeName.resize(typeName.size() - 2);
        const VARTYPE type = TypeOf(typeName);
        const std::string value = parts.size() > 1 ? parts[1] : "0";
        if (array)
            object.value = ArrayOf(type, value);
        else
            ConvertText(value, type, object.value);
        for (size_t i = 2; i < parts.size(); ++i) {
            if (parts[i] == "ro") object.readOnly = true;
            if (parts[i].rfind("q=", 0) == 0)
                object.quality = static_cast<WORD>(strtoul(parts[i].c_str() + 2, nullptr, 16));
        }
    }
    const DWORD id = g_nextId++;
    g_objects[id] = object;
    g_objects[parent].children.push_back(id);
    g_objects[parent].byName.emplace(object.name, id);
}

FILETIME FileTimeOf(ULONGLONG ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// A bench= branch. Its T tags were made one after the other, so their ids are consecutive
// and in the order of their names: an update reaches its window through the map without
// looking at the other tags, and the update of the ordinary tags steps over all of them,
// which keeps a branch of many thousand tags cheap while nothing of it changes.
struct BenchBranch {
    DWORD changePercent = 0;    // the ChangePercent tag
    DWORD first = 0, last = 0;  // the T tags
    DWORD next = 0;             // the index of the next update's first T tag
};
std::vector<BenchBranch> g_benches;  // in order of their ids

void AddBench(const std::string& value) {
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos) return;
    const std::string path = value.substr(0, colon);
    const unsigned long count = strtoul(value.c_str() + colon + 1, nullptr, 10);
    if (count == 0 || FindPath(path)) return;
    AddObject(path, false, "");
    const DWORD branch = FindPath(path);
    if (!branch) return;  // unknown parent

    FILETIME created;
    GetSystemTimeAsFileTime(&created);
    Object tag;
    tag.parent = branch;
    tag.isTag = true;
    V_VT(&tag.value) = VT_R8;
    V_R8(&tag.value) = 0;
    tag.timestamp = created;
    Object& parent = g_objects[branch];
    auto add = [&](const std::string& name) {
        const DWORD id = g_nextId++;
        tag.name = name;
        g_objects.emplace_hint(g_objects.end(), id, tag);
        parent.children.push_back(id);
        parent.byName.emplace(name, id);
        return id;
    };
    BenchBranch bench;
    bench.changePercent = add("ChangePercent");
    const int digits = std::max(5, static_cast<int>(std::to_string(count - 1).size()));
    char name[32];
    for (unsigned long i = 0; i < count; ++i) {
        snprintf(name, sizeof(name), "T%0*lu", digits, i);
        const DWORD id = add(name);
        if (i == 0) bench.first = id;
        bench.last = id;
    }
    g_benches.push_back(bench);
}

// The first object from `at` on that is no bench branch's T tag.
std::map<DWORD, Object>::iterator PastBenchTags(std::map<DWORD, Object>::iterator at) {
    for (const BenchBranch& bench : g_benches)
        if (at != g_objects.end() && at->first >= bench.first && at->first <= bench.last)
            at = g_objects.upper_bound(bench.last);
    return at;
}

double PercentOf(const VARIANT& value) {
    VARIANT r8;
    VariantInit(&r8);
    if (FAILED(VariantChangeTypeEx(&r8, const_cast<VARIANT*>(&value), 0x409, 0, VT_R8))) return 0;
    return V_R8(&r8);
}

// Caller holds the lock.
void UpdateBenches(const FILETIME& now) {
    for (BenchBranch& bench : g_benches) {
        const auto setting = g_objects.find(bench.changePercent);
        if (setting == g_objects.end()) continue;  // removed
        const double percent = PercentOf(setting->second.value);
        if (!(percent > 0)) continue;
        const DWORD count = bench.last - bench.first + 1;
        // The epsilon keeps a share that is exact in decimals (1 % of 10000) from rounding up.
        const double share = std::ceil(count * std::min(percent, 100.0) / 100 - 1e-6);
        const DWORD changing = std::clamp<DWORD>(static_cast<DWORD>(share), 1, count);
        auto change = [&](DWORD from, DWORD to) {  // the T tags of indexes [from, to)
            for (auto it = g_objects.lower_bound(bench.first + from);
                 it != g_objects.end() && it->first < bench.first + to; ++it) {
                if (V_VT(&it->second.value) != VT_R8) continue;
                V_R8(&it->second.value) += 1.0;
                it->second.timestamp = now;
                Changed(it->second);
            }
        };
        const DWORD end = bench.next + changing;
        change(bench.next, std::min(end, count));
        if (end > count) change(0, end - count);
        bench.next = end % count;
    }
}

// Rebuilds settings and tree from configuration text. Caller holds the lock.
void Configure(const std::string& text) {
    ClearObjects();
    g_settings = Settings();
    g_settings.logPath = DllPath() + ".log";
    g_configText = text;
    g_nextId = 1;
    g_benches.clear();
    g_objects[0] = Object();
    VariantInit(&g_objects[0].value);
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        const size_t colon = value.find(':');
        if (key == "root")
            g_settings.root = value;
        else if (key == "branch")
            AddObject(value, false, "");
        else if (key == "bench")
            AddBench(value);
        else if (key == "tag" || key == "subtag")
            AddObject(value.substr(0, colon), true,
                      colon == std::string::npos ? "" : value.substr(colon + 1));
        else if (key == "eu" && colon != std::string::npos && FindPath(value.substr(0, colon)))
            g_objects[FindPath(value.substr(0, colon))].eu = value.substr(colon + 1);
        else if (key == "write_values")
            g_settings.writeValues = value == "1";
        else if (key == "write_refused" && FindPath(value))
            g_objects[FindPath(value)].refusesWrites = true;
        else if (key == "stamp")
            g_settings.stamp = strtoull(value.c_str(), nullptr, 10);
        else if (key == "update_delay_ms")
            g_settings.updateDelayMs = strtoul(value.c_str(), nullptr, 10);
        else if (key == "info_delay_ms")
            g_settings.infoDelayMs = strtoul(value.c_str(), nullptr, 10);
        else if (key == "call_delay_ms")
            g_settings.callDelayMs = strtoul(value.c_str(), nullptr, 10);
        else if (key == "load_delay_ms")
            g_settings.loadDelayMs = strtoul(value.c_str(), nullptr, 10);
        else if (key == "untouched_info")
            g_settings.untouchedInfo = value == "1";
        else if (key == "unresolvable")
            g_settings.unresolvable = value == "1";
        else if (key == "cyclic")
            g_settings.cyclic = value == "1";
        else if (key == "mixed")
            g_settings.mixed = value == "1";
        else if (key == "throw")
            g_settings.throwing = "," + value + ",";
        else if (key == "fault")
            g_settings.faulting = "," + value + ",";
        else if (key == "hang")
            g_settings.hanging = "," + value + ",";
        else if (key == "hang_while")
            g_settings.hangWhile = value;
        else if (key == "quality_while") {
            const size_t colon = value.rfind(':');
            g_settings.qualityWhile = value.substr(0, colon);
            g_settings.qualityWhilePresent =
                static_cast<WORD>(strtoul(value.c_str() + colon + 1, nullptr, 16));
        } else if (key == "log")
            g_settings.logPath = value;
    }
    g_objects[0].name = g_settings.root;
    if (g_settings.stamp)
        for (auto& entry : g_objects) entry.second.timestamp = FileTimeOf(g_settings.stamp);
    if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
    g_log = g_settings.logPath == "off"
                ? INVALID_HANDLE_VALUE
                : CreateFileA(g_settings.logPath.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadConfigFile() {
    std::string text;
    HANDLE file = CreateFileA((DllPath() + ".txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

void WriteLog(LONG sequence, char direction, const char* entry, const std::string& args) {
    if (g_log == INVALID_HANDLE_VALUE) return;  // log=off (a benchmark's tree)
    char head[64];
    wsprintfA(head, "%ld|%c|", sequence, direction);
    std::string line = head;
    line += entry;
    line += "|" + args + "|" + std::to_string(GetCurrentThreadId()) + "\n";
    Locked lock;
    DWORD written = 0;
    if (g_log != INVALID_HANDLE_VALUE)
        WriteFile(g_log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Records one call, on entry and exit, and applies the configured misbehaviour.
// A null pointer the compiler cannot see through, for the access violation of fault=.
void* volatile g_nowhere = nullptr;

class Call {
  public:
    Call(const char* entry, std::string args) : entry_(entry), args_(std::move(args)) {
        WriteLog(InterlockedIncrement(&g_sequence), '>', entry_, args_);
        DWORD delay;
        bool fail, fault, hang;
        std::string hangWhile;
        {
            Locked lock;
            delay = g_settings.callDelayMs;
            const std::string entry = "," + std::string(entry_) + ",";
            fail = g_settings.throwing.find(entry) != std::string::npos;
            fault = g_settings.faulting.find(entry) != std::string::npos;
            hang = g_settings.hanging.find(entry) != std::string::npos;
            hangWhile = g_settings.hangWhile;
        }
        if (delay) Sleep(delay);
        if (fail) {
            WriteLog(InterlockedIncrement(&g_sequence), '<', entry_, args_ + " threw");
            done_ = true;
            throw std::runtime_error(std::string("probe driver: ") + entry_);
        }
        if (fault) {
            WriteLog(InterlockedIncrement(&g_sequence), '<', entry_, args_ + " faulted");
            done_ = true;
            *static_cast<volatile int*>(g_nowhere) = 1;
        }
        auto present = [&] {
            return GetFileAttributesA(hangWhile.c_str()) != INVALID_FILE_ATTRIBUTES;
        };
        if (hang && (hangWhile.empty() || present())) {
            WriteLog(InterlockedIncrement(&g_sequence), '<', entry_, args_ + " hangs");
            done_ = true;
            if (hangWhile.empty()) Sleep(INFINITE);
            while (present()) Sleep(20);
        }
    }
    ~Call() {
        if (!done_) WriteLog(InterlockedIncrement(&g_sequence), '<', entry_, args_ + result_);
    }
    // Shown on the exit line after the arguments, as "=>TEXT".
    void Result(const std::string& text) { result_ = "=>" + text; }

  private:
    const char* entry_;
    std::string args_;
    std::string result_;
    bool done_ = false;
};

std::string ValueText(const VARIANT& value) {
    if ((V_VT(&value) & VT_ARRAY) && V_ARRAY(&value)) {
        // An array's elements with ';' between them, as its configuration line lists them.
        const VARTYPE type = V_VT(&value) & VT_TYPEMASK;
        SAFEARRAY* array = V_ARRAY(&value);
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, 1, &low);
        SafeArrayGetUBound(array, 1, &high);
        std::string list;
        for (LONG i = low; i <= high; ++i) {
            VARIANT element;
            VariantInit(&element);
            if (SUCCEEDED(SafeArrayGetElement(array, &i,
                                              type == VT_BSTR
                                                  ? static_cast<void*>(&V_BSTR(&element))
                                                  : static_cast<void*>(&V_UI1(&element)))))
                V_VT(&element) = type;
            list += (i > low ? ";" : "") + ValueText(element);
            VariantClear(&element);
        }
        return list;
    }
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeTypeEx(&text, const_cast<VARIANT*>(&value), 0x409, 0, VT_BSTR)))
        return "?";
    char narrow[256] = {};
    WideCharToMultiByte(CP_ACP, 0, V_BSTR(&text), -1, narrow, sizeof(narrow) - 1, nullptr, nullptr);
    VariantClear(&text);
    return narrow;
}

std::string Hex(const void* p) {
    char text[32];
    wsprintfA(text, "%p", p);
    return text;
}

char* CoTaskCopy(const std::string& text) {
    auto* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
    if (copy) memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

LONG NameList(DWORD id, bool tags, char*** names, DWORD* count) {
    std::vector<std::string> list;
    {
        Locked lock;
        auto p = g_objects.find(id);
        if (p == g_objects.end()) return 0;
        for (DWORD child : p->second.children)
            if (g_objects[child].isTag == tags || g_settings.mixed)
                list.push_back(g_objects[child].name);
        if (!tags && g_settings.cyclic && !p->second.isTag) list.push_back("Back");
    }
    if (list.empty()) return 0;
    *names = static_cast<char**>(CoTaskMemAlloc(list.size() * sizeof(char*)));
    for (size_t i = 0; i < list.size(); ++i) (*names)[i] = CoTaskCopy(list[i]);
    *count = static_cast<DWORD>(list.size());
    return 1;
}

void RemoveSubtree(DWORD id) {
    auto p = g_objects.find(id);
    if (p == g_objects.end() || id == 0) return;
    for (DWORD child : std::vector<DWORD>(p->second.children)) RemoveSubtree(child);
    Object& parent = g_objects[p->second.parent];
    for (auto it = parent.children.begin(); it != parent.children.end(); ++it)
        if (*it == id) {
            parent.children.erase(it);
            break;
        }
    auto named = parent.byName.find(p->second.name);
    if (named != parent.byName.end() && named->second == id) parent.byName.erase(named);
    VariantClear(&g_objects[id].value);
    g_objects.erase(id);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        InitializeCriticalSection(&g_lock);
        Locked lock;
        Configure(ReadConfigFile());
    } else if (reason == DLL_PROCESS_DETACH) {
        ClearObjects();
        if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
        DeleteCriticalSection(&g_lock);
    }
    return TRUE;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLAddObject(DWORD parent, HWND owner) {
    Call call("DLLAddObject", std::to_string(parent) + "," + Hex(owner));
    Locked lock;
    if (!g_objects.count(parent)) return 0;
    std::string path;
    for (DWORD id = parent; id; id = g_objects[id].parent) path = g_objects[id].name + "." + path;
    AddObject(path + "New" + std::to_string(g_nextId), false, "");
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEnumChildren(DWORD id, char*** names, DWORD* count) {
    Call call("DLLEnumChildren", std::to_string(id));
    return NameList(id, false, names, count);
}

OPC_DRIVER_EXPORT LONG __cdecl DLLEnumTags(DWORD id, char*** names, DWORD* count) {
    Call call("DLLEnumTags", std::to_string(id));
    return NameList(id, true, names, count);
}

OPC_DRIVER_EXPORT DWORD __cdecl DLLGetObjectID(DWORD parent, const char* name) {
    Call call("DLLGetObjectID", std::to_string(parent) + "," + (name ? name : "<null>"));
    Locked lock;
    if (g_settings.unresolvable || !name) return 0;
    if (parent == 0 && (name[0] == '.' || strchr(name, '.'))) return FindPath(name);
    return FindChild(parent, name);
}

#ifndef PROBE_WITHOUT_EDIT
OPC_DRIVER_EXPORT LONG __cdecl DLLEditObject(DWORD id, HWND owner) {
    Call call("DLLEditObject", std::to_string(id) + "," + Hex(owner));
    return 1;
}
#endif

namespace {

LONG CopyRecord(DWORD id, DLLOBJECTINFO* info) {
    Locked lock;
    auto p = g_objects.find(id);
    if (g_settings.untouchedInfo || !info || p == g_objects.end()) return 0;
    const Object& o = p->second;
    info->name = CoTaskCopy(o.name);
    info->description = CoTaskCopy("probe object " + std::to_string(id));
    info->id = id;
    info->driverData = o.driverData;
    info->visible = TRUE;
    info->isTag = o.isTag;
    info->readOnly = o.readOnly;
    info->image = o.isTag ? 2 : 1;
    info->treeImage = o.isTag ? 2 : 0;
    info->quality = o.quality;
    VariantCopy(&info->value, const_cast<VARIANT*>(&o.value));
    info->clients = o.clients;
    info->timestamp = o.timestamp;
    return 1;
}

}  // namespace

OPC_DRIVER_EXPORT LONG __cdecl DLLGetObjectInfo(DWORD id, DLLOBJECTINFO* info) {
    Call call("DLLGetObjectInfo", std::to_string(id));
    const LONG result = CopyRecord(id, info);
    DWORD delay;
    std::string qualityWhile;
    WORD quality;
    {
        Locked lock;
        delay = g_settings.infoDelayMs;
        qualityWhile = g_settings.qualityWhile;
        quality = g_settings.qualityWhilePresent;
    }
    if (info && info->isTag && !qualityWhile.empty() &&
        GetFileAttributesA(qualityWhile.c_str()) != INVALID_FILE_ATTRIBUTES)
        info->quality = quality;
    if (delay) Sleep(delay);
    return result;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLSetObjectInfo(DWORD id, DLLOBJECTINFO* info) {
    Call call("DLLSetObjectInfo", std::to_string(id) + "," +
                                      (info && info->name ? info->name : "<null>") + "," +
                                      std::to_string(info ? info->clients : 0));
    Locked lock;
    auto p = g_objects.find(id);
    if (!info) return 0;
    if (p == g_objects.end() || !p->second.isTag) {
        VariantClear(&info->value);
        return 0;
    }
    VariantClear(&p->second.value);
    p->second.value = info->value;  // the value is ours now
    Changed(p->second);
    call.Result(ValueText(p->second.value));
    VariantInit(&info->value);
    p->second.clients = info->clients;
    p->second.driverData = info->driverData;
    return 1;
}

#ifndef PROBE_WITHOUT_CLIENT_COUNT
// The quality_while file counts as a change of every tag while it is there: the number a tag
// reports has its lowest bit set then.
OPC_DRIVER_EXPORT LONG __cdecl DLLReadChangedTags(DWORD count, const DWORD* ids, DWORD* versions,
                                                  VARIANT* values, WORD* qualities,
                                                  FILETIME* timestamps) {
    Call call("DLLReadChangedTags", std::to_string(count));
    if (count && (!ids || !versions || !values || !qualities || !timestamps)) return -1;
    std::string qualityWhile;
    WORD overridden = 0;
    {
        Locked lock;
        qualityWhile = g_settings.qualityWhile;
        overridden = g_settings.qualityWhilePresent;
    }
    const bool bad = !qualityWhile.empty() &&
                     GetFileAttributesA(qualityWhile.c_str()) != INVALID_FILE_ATTRIBUTES;
    Locked lock;
    LONG written = 0;
    auto p = g_objects.end();
    for (DWORD i = 0; i < count; ++i) {
        // A group's tags mostly come in the order of their ids: the neighbour before a search.
        const bool neighbour = p != g_objects.end() && ++p != g_objects.end() && p->first == ids[i];
        if (!neighbour) p = g_objects.find(ids[i]);
        if (p == g_objects.end() || !p->second.isTag) {
            versions[i] = 0;
            continue;
        }
        Object& o = p->second;
        if (o.version == 0) Changed(o);  // a tag as loaded, never changed yet
        const DWORD number = (o.version << 1) | (bad ? 1 : 0);
        if (number == versions[i]) continue;
        versions[i] = number;
        VariantCopy(&values[i], const_cast<VARIANT*>(&o.value));
        qualities[i] = bad ? overridden : o.quality;
        timestamps[i] = o.timestamp;
        ++written;
    }
    call.Result(std::to_string(written));
    return written;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLWriteValues(DWORD count, const DWORD* ids, const VARIANT* values,
                                              BOOL* taken) {
    {
        Locked lock;
        if (!g_settings.writeValues) return -1;
    }
    Call call("DLLWriteValues", std::to_string(count));
    if (count && (!ids || !values || !taken)) return 0;
    Locked lock;
    LONG written = 0;
    std::string took;
    for (DWORD i = 0; i < count; ++i) {
        auto p = g_objects.find(ids[i]);
        taken[i] = p != g_objects.end() && p->second.isTag && !p->second.refusesWrites;
        if (!taken[i]) continue;
        Object& o = p->second;
        VariantClear(&o.value);
        VariantCopy(&o.value, const_cast<VARIANT*>(&values[i]));
        Changed(o);
        took += (written ? ";" : "") + std::to_string(ids[i]) + ":" + ValueText(o.value);
        ++written;
    }
    call.Result(took + "=>" + std::to_string(written));
    return written;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLChangeClientCount(DWORD id, LONG delta) {
    std::string name = "<none>";
    {
        Locked lock;
        auto p = g_objects.find(id);
        if (p != g_objects.end()) name = p->second.name;
    }
    Call call("DLLChangeClientCount",
              std::to_string(id) + "," + name + "," + std::to_string(delta));
    Locked lock;
    auto p = g_objects.find(id);
    LONG result = -1;
    if (p != g_objects.end() && p->second.isTag) {
        const LONGLONG count = static_cast<LONGLONG>(p->second.clients) + delta;
        p->second.clients = count < 0 ? 0 : static_cast<DWORD>(count);
        result = static_cast<LONG>(p->second.clients);
    }
    call.Result(std::to_string(result));
    return result;
}
#endif

#ifndef PROBE_WITHOUT_ENGINEERING_UNITS
OPC_DRIVER_EXPORT LONG __cdecl DLLGetEngineeringUnits(DWORD id, double* low, double* high,
                                                      char** units) {
    Call call("DLLGetEngineeringUnits", std::to_string(id));
    std::string eu;
    {
        Locked lock;
        auto p = g_objects.find(id);
        if (p == g_objects.end() || !p->second.isTag) {
            call.Result("-1");
            return -1;
        }
        eu = p->second.eu;
    }
    // Not every C runtime's strtod reads "nan".
    auto number = [](const std::string& text) {
        return text == "nan" ? std::nan("") : strtod(text.c_str(), nullptr);
    };
    const size_t first = eu.find(':');
    const size_t second = first == std::string::npos ? first : eu.find(':', first + 1);
    LONG known = 0;
    if (first != std::string::npos && (first > 0 || second != first + 1)) {
        *low = number(eu.substr(0, first));
        *high = number(eu.substr(first + 1, second - first - 1));
        known |= ENGINEERING_UNITS_RANGE;
    }
    if (second != std::string::npos) {
        *units = CoTaskCopy(eu.substr(second + 1));
        known |= ENGINEERING_UNITS_TEXT;
    }
    call.Result(std::to_string(known));
    return known;
}
#endif

OPC_DRIVER_EXPORT LONG __cdecl DLLRemoveObject(DWORD id) {
    Call call("DLLRemoveObject", std::to_string(id));
    Locked lock;
    RemoveSubtree(id);
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLSerialize(IStream* stream, BOOL save) {
    Call call("DLLSerialize", std::string(save ? "save" : "load"));
    static const char header[] = "PROBE-DRIVER 1\n";
    if (!stream) return 0;
    if (save) {
        std::string text;
        {
            Locked lock;
            text = header + g_configText;
        }
        ULONG written = 0;
        return SUCCEEDED(stream->Write(text.data(), static_cast<ULONG>(text.size()), &written));
    }
    DWORD delay;
    {
        Locked lock;
        delay = g_settings.loadDelayMs;
    }
    if (delay) Sleep(delay);
    std::string text;
    char buffer[4096];
    ULONG got = 0;
    while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &got)) && got) text.append(buffer, got);
    if (text.compare(0, sizeof(header) - 1, header) != 0) return 0;  // not ours: keep settings
    Locked lock;
    Configure(text.substr(sizeof(header) - 1));
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLUpdate(DWORD arg) {
    Call call("DLLUpdate", std::to_string(arg));
    DWORD delay;
    {
        Locked lock;
        delay = g_settings.updateDelayMs;
    }
    if (delay) Sleep(delay);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    Locked lock;
    if (g_settings.stamp) now = FileTimeOf(g_settings.stamp);
    for (auto it = PastBenchTags(g_objects.begin()); it != g_objects.end();
         it = PastBenchTags(std::next(it))) {
        Object& o = it->second;
        if (!o.isTag) continue;
        bool changed = CompareFileTime(&o.timestamp, &now) != 0;
        o.timestamp = now;
        if (o.name.compare(0, 7, "Counter") == 0 && V_VT(&o.value) == VT_I4) {
            ++V_I4(&o.value);
            changed = true;
        }
        if (changed) Changed(o);
    }
    UpdateBenches(now);
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLStart(DWORD arg) {
    Call call("DLLStart", std::to_string(arg));
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLStop(DWORD arg) {
    Call call("DLLStop", std::to_string(arg));
    return 1;
}

OPC_DRIVER_EXPORT LONG __cdecl DLLDefaultSettings() {
    Call call("DLLDefaultSettings", "");
    std::string text = ReadConfigFile();
    Locked lock;
    Configure(text);
    return 1;
}
