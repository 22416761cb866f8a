// Named lives with fixed scripts, modelled on the platform's
// device-fundamentals tests (surprise removal, rebalance, sleep with I/O,
// everything at once with faults). The threads' timing still varies.
#pragma once

#include "tools/stress/life_plan.h"

#include <optional>
#include <string>
#include <vector>

namespace lives {

struct NamedLife {
    std::string name;
    LifePlan plan;
    std::optional<uint64_t> faults;  // the faults the script must inject, where it says
};

// Every named life, in order, for a device with `pipes`.
std::vector<NamedLife> NamedLives(const DeviceMap& pipes, bool pendingReads);

}  // namespace lives
