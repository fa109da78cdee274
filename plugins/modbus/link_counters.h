// What happened on a device's way to its Modbus server, counted by its poll worker: shown to
// engineers to tell a noisy line from a silent device or a wrong address.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <array>
#include <cstdint>
#include <string>

namespace modbus {

struct LinkCounters {
    uint64_t requests = 0;
    uint64_t answers = 0;      // whole, matching answers, exception answers included
    uint64_t timeouts = 0;     // no answer at all in time
    uint64_t frameErrors = 0;  // a wrong CRC, unit or function, a frame cut short, garbage
    // Exception answers by code; [0] counts the codes above 11.
    std::array<uint64_t, 12> exceptions{};
    uint64_t reconnects = 0;  // the link opened again after it had failed
    uint32_t lastRoundTripMs = 0;
    FILETIME lastGoodAnswer{};
    bool connected = false;
    std::wstring lastError;  // one Russian sentence, empty while all is well
};

}  // namespace modbus
