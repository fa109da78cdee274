// Which read requests fetch the tags of one table of one device: tags that lie close
// together share a request, as long as the request stays within what the protocol allows
// (125 registers, 2000 bits), so a device with many tags is read in few round trips.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "modbus_pdu.h"

namespace modbus {

struct Span {
    uint16_t address = 0;
    uint16_t count = 1;  // registers or bits
};

struct PlannedRead {
    uint16_t address = 0;
    uint16_t count = 0;
    std::vector<size_t> tags;  // indexes into the spans given
};

// Spans further apart than `maxGap` unread registers or bits are not merged. A span larger
// than one request can carry is left out (the tag's settings are refused before that).
std::vector<PlannedRead> PlanReads(Table table, const std::vector<Span>& spans, uint16_t maxGap);

}  // namespace modbus
