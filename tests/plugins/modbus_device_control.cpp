#include "modbus_device_control.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

std::vector<unsigned> ReadDeviceState(const char* variable, const char* name) {
    // build\NAME, beside the test programs' bin\.
    char path[MAX_PATH] = {};
    if (!GetEnvironmentVariableA(variable, path, MAX_PATH)) {
        const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string state(path, n);
        state = state.substr(0, state.find_last_of('\\'));
        state = state.substr(0, state.find_last_of('\\')) + "\\" + name;
        lstrcpynA(path, state.c_str(), MAX_PATH);
    }
    std::vector<unsigned> numbers;
    FILE* file = fopen(path, "r");
    if (!file) return numbers;
    unsigned n;
    while (fscanf(file, "%u", &n) == 1) numbers.push_back(n);
    fclose(file);
    return numbers;
}

ControlPort::ControlPort(unsigned port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        closesocket(s);
        return;
    }
    DWORD limit = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit));
    control_ = s;
}

ControlPort::~ControlPort() {
    if (control_ != INVALID_SOCKET) closesocket(control_);
    WSACleanup();
}

std::string ControlPort::Ask(const std::string& line) {
    if (control_ == INVALID_SOCKET) return "";
    const std::string out = line + "\n";
    if (send(control_, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size()))
        return "";
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string answer = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return answer;
        }
        char buffer[512];
        const int n = recv(control_, buffer, sizeof(buffer), 0);
        if (n <= 0) return "";
        pending_.append(buffer, n);
    }
}

ModbusDevice::ModbusDevice() {
    const std::vector<unsigned> state =
        ReadDeviceState("MODBUS_DEVICE_STATE", "modbus_device.state");
    if (state.size() < 3) return;
    port_ = static_cast<uint16_t>(state[0]);
    silentPort_ = static_cast<uint16_t>(state[2]);
    control_ = std::make_unique<ControlPort>(state[1]);
}

ModbusDevice::~ModbusDevice() = default;

bool ModbusDevice::Set(char table, uint16_t address, const std::vector<uint16_t>& values) {
    std::ostringstream line;
    line << "set " << table << ' ' << address;
    for (uint16_t v : values) line << ' ' << v;
    return Ask(line.str()) == "ok";
}

std::vector<uint16_t> ModbusDevice::Get(char table, uint16_t address, uint16_t count) {
    std::ostringstream line;
    line << "get " << table << ' ' << address << ' ' << count;
    std::istringstream answer(Ask(line.str()));
    std::vector<uint16_t> values;
    unsigned v;
    while (answer >> v) values.push_back(static_cast<uint16_t>(v));
    return values;
}

int ModbusDevice::Reads(char table) {
    const std::string answer = Ask(std::string("reads ") + table);
    return answer.empty() ? -1 : atoi(answer.c_str());
}

bool ModbusDevice::ResetCounts() {
    return Ask("reset") == "ok";
}

bool ModbusDevice::Down() {
    return Ask("down") == "ok";
}

bool ModbusDevice::Up() {
    return Ask("up") == "ok";
}
