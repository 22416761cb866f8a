// The racing scenarios the interleaving search runs, in one table.
#pragma once

#include "tools/explore/search.h"

#include <functional>
#include <memory>
#include <vector>

namespace interleavings {

enum class Needs {
    Loopback,    // a bulk OUT pipe the device echoes on a bulk IN pipe
    RemoteWake,  // a device that can wake the system
};

struct ScenarioEntry {
    const char* name;
    const char* races;
    Needs needs;
    std::function<std::unique_ptr<Scenario>()> make;
};

const std::vector<ScenarioEntry>& Scenarios();

}  // namespace interleavings
