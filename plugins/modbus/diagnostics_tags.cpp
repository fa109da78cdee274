#include "diagnostics_tags.h"

#include <algorithm>
#include <climits>

#include "driver_kit.h"

namespace modbus {

namespace {

enum class Field {
    kRequests,
    kAnswers,
    kTimeouts,
    kFrameErrors,
    kExceptions,
    kException,  // one code, the tag's own
    kReconnects,
    kLastError,
    kLastGoodAnswer,
    kConnected,
    kRoundTrip,
};

struct TagInfo {
    std::string name;
    std::wstring description;
    Field field;
    unsigned code = 0;
};

// In the order clients browse them; an index is a tag's place here plus one (0 the folder).
const std::vector<TagInfo>& Tags() {
    static const std::vector<TagInfo> tags = [] {
        std::vector<TagInfo> t = {
            {"Requests", L"Запросов отправлено", Field::kRequests},
            {"Answers", L"Ответов получено", Field::kAnswers},
            {"Timeouts", L"Ответ не пришёл за время ожидания", Field::kTimeouts},
            {"FrameErrors", L"Ошибок кадра (CRC, неразборчивый ответ)", Field::kFrameErrors},
            {"Exceptions", L"Ответов-исключений, всего", Field::kExceptions},
        };
        for (unsigned code = 1; code <= 11; ++code) {
            const std::string digits = (code < 10 ? "0" : "") + std::to_string(code);
            t.push_back({"Exception" + digits,
                         L"Ответов-исключений с кодом " + std::to_wstring(code), Field::kException,
                         code});
        }
        t.push_back({"Reconnects", L"Соединение открыто заново", Field::kReconnects});
        t.push_back({"LastError", L"Последняя ошибка связи", Field::kLastError});
        t.push_back(
            {"LastGoodAnswer", L"Время последнего хорошего ответа (UTC)", Field::kLastGoodAnswer});
        t.push_back({"Connected", L"Соединение с устройством открыто", Field::kConnected});
        t.push_back({"RoundTripMs", L"Время последнего запроса до ответа, мс", Field::kRoundTrip});
        return t;
    }();
    return tags;
}

// VT_I4: the counter type every DA client reads; a count past its range stays at the top.
LONG Clamped(uint64_t count) {
    return static_cast<LONG>(std::min<uint64_t>(count, LONG_MAX));
}

}  // namespace

DWORD DiagnosticTags::Make(DWORD device, size_t index) {
    if (device == 0 || device >= (kMark >> kIndexBits)) return 0;
    return kMark | (device << kIndexBits) | static_cast<DWORD>(index);
}

DWORD DiagnosticTags::DeviceOf(DWORD id) const {
    if (!Owns(id) || (id & kIndexMask) > Tags().size()) return 0;
    const DWORD device = (id & ~kMark) >> kIndexBits;
    return HasFolder(device) ? device : 0;
}

// A configuration saved before the name was taken may hold a user's "_Diagnostics" under a
// device: the user's object keeps its name and item IDs, and that device shows no folder of
// ours, so no item ID ever names two things.
bool DiagnosticTags::HasFolder(DWORD device) const {
    return !Owns(device) && model_.KindOf(device) == Kind::kDevice &&
           model_.Find(device, kFolderName) == 0;
}

DWORD DiagnosticTags::Find(DWORD parent, std::string_view name) const {
    if (IsFolder(parent)) {
        const auto& tags = Tags();
        for (size_t i = 0; i < tags.size(); ++i)
            if (tags[i].name == name) return parent + static_cast<DWORD>(i + 1);
        return 0;
    }
    if (Owns(parent)) return 0;
    if (Reserved(name) && HasFolder(parent)) return Make(parent, 0);
    return model_.Find(parent, name);
}

DWORD DiagnosticTags::FindPath(std::string_view path) const {
    return FollowPath(path,
                      [this](DWORD parent, std::string_view name) { return Find(parent, name); });
}

std::vector<std::string> DiagnosticTags::Children(DWORD id, bool tags) const {
    std::vector<std::string> names;
    if (tags && IsFolder(id))
        for (const TagInfo& t : Tags()) names.push_back(t.name);
    if (!tags && !Owns(id) && HasFolder(id)) names.push_back(kFolderName);
    return names;
}

std::string DiagnosticTags::NameOf(DWORD id) const {
    const DWORD index = id & kIndexMask;
    return index == 0 ? kFolderName : Tags()[index - 1].name;
}

std::string DiagnosticTags::DescriptionOf(DWORD id) const {
    const DWORD index = id & kIndexMask;
    return driver_kit::Ansi(index == 0 ? L"Диагностика связи с устройством"
                                       : Tags()[index - 1].description);
}

void DiagnosticTags::Value(DWORD id, const LinkCounters& c, VARIANT* value) {
    VariantClear(value);
    const DWORD index = id & kIndexMask;
    if (index == 0 || index > Tags().size()) return;
    const TagInfo& t = Tags()[index - 1];
    auto count = [&](uint64_t n) {
        V_VT(value) = VT_I4;
        V_I4(value) = Clamped(n);
    };
    switch (t.field) {
        case Field::kRequests:
            return count(c.requests);
        case Field::kAnswers:
            return count(c.answers);
        case Field::kTimeouts:
            return count(c.timeouts);
        case Field::kFrameErrors:
            return count(c.frameErrors);
        case Field::kExceptions: {
            uint64_t all = 0;
            for (uint64_t n : c.exceptions) all += n;
            return count(all);
        }
        case Field::kException:
            return count(c.exceptions[t.code]);
        case Field::kReconnects:
            return count(c.reconnects);
        case Field::kRoundTrip:
            return count(c.lastRoundTripMs);
        case Field::kLastError:
            V_VT(value) = VT_BSTR;
            V_BSTR(value) = SysAllocString(c.lastError.c_str());
            return;
        case Field::kConnected:
            V_VT(value) = VT_BOOL;
            V_BOOL(value) = c.connected ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        case Field::kLastGoodAnswer: {
            // Before the first good answer: 0, the type's own "no date".
            double date = 0;
            SYSTEMTIME at;
            if ((c.lastGoodAnswer.dwLowDateTime || c.lastGoodAnswer.dwHighDateTime) &&
                FileTimeToSystemTime(&c.lastGoodAnswer, &at))
                SystemTimeToVariantTime(&at, &date);
            V_VT(value) = VT_DATE;
            V_DATE(value) = date;
            return;
        }
    }
}

LONG DiagnosticTags::ChangeClients(DWORD id, LONG delta) {
    if (!IsTag(id)) return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    const LONGLONG count = static_cast<LONGLONG>(clients_[id]) + delta;
    clients_[id] = count < 0 ? 0 : count > MAXLONG ? MAXLONG : static_cast<DWORD>(count);
    return static_cast<LONG>(clients_[id]);
}

DWORD DiagnosticTags::Clients(DWORD id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = clients_.find(id);
    return p == clients_.end() ? 0 : p->second;
}

}  // namespace modbus
