// The emu::Power the harness hands to tests, bound to the machine's
// plugged device (null when none is plugged).
#pragma once

#include "emulator/machine.h"

#include <functional>
#include <memory>

namespace emu::power {

std::unique_ptr<Power> CreateMachinePower(std::function<PDEVICE_OBJECT()> pdo);

}  // namespace emu::power
