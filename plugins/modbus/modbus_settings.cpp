#include "modbus_settings.h"

#include <algorithm>
#include <cmath>

namespace modbus {

namespace {

bool IsNumber(DataType type) {
    return type != DataType::kBool && type != DataType::kString;
}

// A DNS name or a dotted address: letters, digits, '-', '.', at most 253 characters.
bool ValidHost(const std::string& host) {
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.')
        return false;
    for (char c : host) {
        // ASCII only, whatever the process's locale says of other bytes.
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-' && c != '.') return false;
    }
    return host.find("..") == std::string::npos;
}

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.find('.') == std::string::npos;
}

}  // namespace

uint16_t TagSpan(const TagSettings& tag) {
    return IsBitTable(tag.table) ? 1 : RegisterCount(tag.encoding);
}

bool TagRange(const TagSettings& tag, double& low, double& high) {
    if (!IsNumber(tag.encoding.type)) return false;
    if (tag.ranged) {
        low = tag.rangeLow;
        high = tag.rangeHigh;
        return true;
    }
    const Scaling& s = tag.encoding.scaling;
    if (!s.enabled) return false;
    low = std::min(s.euLow, s.euHigh);
    high = std::max(s.euLow, s.euHigh);
    return true;
}

std::wstring CheckDevice(const DeviceSettings& d) {
    if (!ValidName(d.name))
        return L"Имя устройства не может быть пустым и не может содержать точку.";
    if (!ValidHost(d.host)) return L"Укажите имя или IP-адрес устройства.";
    if (d.port == 0) return L"Порт должен быть от 1 до 65535.";
    if (d.unit > 247 && d.unit != 255)
        return L"Адрес ведомого (unit id) должен быть от 0 до 247 или 255.";
    if (d.pollMs < kMinPollMs || d.pollMs > kMaxPollMs)
        return L"Период опроса должен быть от 50 мс до 1 часа.";
    if (d.timeoutMs < kMinTimeoutMs || d.timeoutMs > kMaxTimeoutMs)
        return L"Время ожидания ответа должно быть от 50 мс до 60 с.";
    if (d.retries > kMaxRetries) return L"Число повторов должно быть от 0 до 10.";
    return L"";
}

std::wstring CheckTag(const TagSettings& t) {
    if (!ValidName(t.name)) return L"Имя тега не может быть пустым и не может содержать точку.";
    const Encoding& e = t.encoding;
    if (IsBitTable(t.table) && e.type != DataType::kBool)
        return L"Катушки и дискретные входы могут быть только логического типа.";
    if (e.type == DataType::kString &&
        (e.stringRegisters < 1 || e.stringRegisters > kMaxReadRegisters))
        return L"Строка занимает от 1 до 125 регистров.";
    if (uint32_t{t.address} + TagSpan(t) > 0x10000)
        return L"Тег выходит за конец адресного пространства (65536).";
    if (e.scaling.enabled && (e.type == DataType::kBool || e.type == DataType::kString))
        return L"Масштабирование применимо только к числам.";
    if (e.scaling.enabled &&
        (e.scaling.rawHigh == e.scaling.rawLow || e.scaling.euHigh == e.scaling.euLow))
        return L"Границы масштабирования не должны совпадать.";
    if ((t.ranged || !t.units.empty()) && !IsNumber(e.type))
        return L"Диапазон и единицы измерения задаются только для чисел.";
    // Written out in full: NaN fails every comparison.
    if (t.ranged &&
        !(std::isfinite(t.rangeLow) && std::isfinite(t.rangeHigh) && t.rangeLow < t.rangeHigh))
        return L"Нижняя граница диапазона должна быть меньше верхней.";
    if (t.units.size() > kMaxUnitsLength) return L"Единицы измерения — не длиннее 32 знаков.";
    return L"";
}

}  // namespace modbus
