// Whether what an OUT endpoint received is one writer's writes, in order.
#pragma once

#include <cstdint>
#include <vector>

namespace lives {

// One write as its writer made it: the bytes and whether it succeeded.
struct WriteRecord {
    std::vector<uint8_t> bytes;
    bool succeeded;
};

// True when `received` is the writes in order, each successful one whole
// and each failed one cut to a prefix (possibly empty).
bool WritesArrivedInOrder(const std::vector<WriteRecord>& writes, const std::vector<uint8_t>& received);

}  // namespace lives
