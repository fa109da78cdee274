// What a device's link has done since the driver started or the counters were reset: the
// transport counts, the driver's "_Diagnostics" tags show.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

namespace modbus {

// clang-format off
// What a device's link has done since the driver started or the counters were reset.
struct LinkCounters { uint64_t requests=0, answers=0, timeouts=0, frameErrors=0, reconnects=0;
  uint64_t exceptions[12] = {}; /* by Modbus exception code 1..11; [0] others */
  uint32_t lastRoundTripMs=0; FILETIME lastGoodAnswer{}; bool connected=false; std::wstring lastError; };
// clang-format on

}  // namespace modbus
