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

bool ValidBaud(uint32_t baud) {
    return std::find(std::begin(kBaudRates), std::end(kBaudRates), baud) != std::end(kBaudRates);
}

}  // namespace

bool SameLineFormat(const DeviceSettings& a, const DeviceSettings& b) {
    return a.baud == b.baud && a.dataBits == b.dataBits && a.parity == b.parity &&
           a.stopBits == b.stopBits;
}

unsigned ComPortNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 6) return 0;
    for (size_t i = 0; i < 3; ++i)
        if ((name[i] | 0x20) != "com"[i]) return 0;
    unsigned n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return name[3] != '0' && n >= 1 && n <= 256 ? n : 0;
}

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
    if (d.transport > Transport::kRtu) return L"Выберите способ связи с устройством.";
    if (d.transport == Transport::kRtu) {
        if (ComPortNumber(d.portName) == 0)
            return L"Последовательный порт должен называться COM1 – COM256.";
        if (!ValidBaud(d.baud))
            return L"Скорость порта должна быть одной из 1200, 2400, 4800, 9600, 19200, 38400, "
                   L"57600 и 115200 бит/с.";
        if (d.dataBits != 7 && d.dataBits != 8) return L"Битов данных может быть 7 или 8.";
        if (d.parity > Parity::kOdd) return L"Чётность: нет, чётная или нечётная.";
        if (d.stopBits != 1 && d.stopBits != 2) return L"Стоповых битов может быть 1 или 2.";
    } else {
        if (!ValidHost(d.host)) return L"Укажите имя или IP-адрес устройства.";
        if (d.port == 0) return L"Порт должен быть от 1 до 65535.";
    }
    // A read sent to the broadcast address 0 is answered by nobody on a serial line.
    if (d.transport != Transport::kTcp && (d.unit == 0 || d.unit > 247))
        return L"Адрес ведомого на линии RTU должен быть от 1 до 247.";
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
