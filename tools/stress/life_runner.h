// Runs one life on a fresh emulated machine with the driver loaded, and
// checks what every life must satisfy.
#pragma once

#include "emulator/usb/device_model.h"
#include "tools/stress/life_plan.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lives {

struct LifeResult {
    uint64_t faults = 0;                // device and pool faults injected
    std::vector<std::string> problems;  // broken invariants and verifier findings
};

LifeResult RunLife(const LifePlan& plan, const emu::usb::DeviceModel& model);

}  // namespace lives
