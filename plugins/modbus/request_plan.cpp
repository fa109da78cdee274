#include "request_plan.h"

#include <algorithm>
#include <numeric>

namespace modbus {

std::vector<PlannedRead> PlanReads(Table table, const std::vector<Span>& spans, uint16_t maxGap) {
    const uint32_t limit = IsBitTable(table) ? kMaxReadBits : kMaxReadRegisters;
    std::vector<size_t> order(spans.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return spans[a].address < spans[b].address; });
    std::vector<PlannedRead> plan;
    uint32_t begin = 0, end = 0;  // of the request being built, end exclusive
    for (size_t i : order) {
        const uint32_t first = spans[i].address;
        const uint32_t last = first + spans[i].count;  // exclusive
        if (spans[i].count == 0 || spans[i].count > limit || last > 0x10000) continue;
        const bool joins =
            !plan.empty() && first <= end + maxGap && std::max(end, last) - begin <= limit;
        if (!joins) {
            plan.push_back(PlannedRead{});
            begin = first;
            end = last;
        } else {
            end = std::max(end, last);
        }
        plan.back().address = static_cast<uint16_t>(begin);
        plan.back().count = static_cast<uint16_t>(end - begin);
        plan.back().tags.push_back(i);
    }
    return plan;
}

}  // namespace modbus
