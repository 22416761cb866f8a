// The stress check: random lives drawn from seeds, or the named lives, each
// on a fresh emulated machine with the driver, under a watchdog that ends
// the program (printing how to replay the life) when one hangs.
#pragma once

#include "emulator/usb/device_model.h"
#include "tools/stress/life_plan.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lives {

struct StressOptions {
    emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
    uint64_t lives = 200;       // random lives, seeds firstSeed, firstSeed + 1, ...
    uint64_t firstSeed = 1;
    std::string scenario;       // a named life, or "all": those instead of random lives
    bool pendingReads = true;   // a thread that keeps reads pending (see LifePlan)
};

struct LifeOutcome {
    std::string name;  // "seed 17", or the named life's name
    LifePlan plan;
    uint64_t faults = 0;
    std::vector<std::string> problems;  // broken invariants and verifier findings
};

// The names `scenario` may take.
std::vector<std::string> NamedLifeNames();

// The lives the options ask for; empty when the scenario names none.
std::vector<std::pair<std::string, LifePlan>> PlanLives(const StressOptions& options);

// Runs every planned life; `replay` gives the command that runs one alone
// (for the watchdog's report), `each` hears of each life as it ends.
void RunLives(const StressOptions& options, const std::function<std::string(const std::string& name)>& replay,
              const std::function<void(const LifeOutcome&)>& each);

}  // namespace lives
