// What a driver may call while one of its dispatch or completion routines
// handles a set-power request: no pool on the way from S0 to a sleeping
// state (PowerDownAllocate), and none of the routines that only run at
// PASSIVE_LEVEL during any set-power request (PowerIrpDDIs). Work items
// queued from those routines run later and are not judged.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace emu::kernel {
namespace {

// The routines of the rule's list that the emulator provides.
constexpr const char* passiveOnly[] = {
    "IoBuildDeviceIoControlRequest", "IoCreateSymbolicLink",      "IoDeleteSymbolicLink",   "IoDetachDevice",
    "IoRegisterDeviceInterface",     "IoSetDeviceInterfaceState", "KeDelayExecutionThread",
};

// The set-power request the calling driver's innermost routine handles.
SetPower HandledSetPower()
{
    const auto& routines = CurrentThread().routines;
    if (routines.empty() || routines.back().setPower == SetPower::None) {
        return SetPower::None;
    }
    PDRIVER_OBJECT driver = ChargedDriver();
    if (driver == nullptr || routines.back().driver != driver) {
        return SetPower::None;
    }
    return routines.back().setPower;
}

}  // namespace

void CheckPowerDownAllocate(const char* routine)
{
    if (HandledSetPower() == SetPower::SystemSleep) {
        verifier::Report("memory allocated while handling a system set-power request to a sleeping state "
                         "(PowerDownAllocate)",
                         routine, "by " + DriverText(ChargedDriver()));
    }
}

void CheckPowerIrpDdi(const char* routine)
{
    // Every call from the driver passes here: the cheap test first.
    if (HandledSetPower() == SetPower::None) {
        return;
    }
    const bool listed = std::any_of(std::begin(passiveOnly), std::end(passiveOnly),
                                    [&](const char* name) { return std::strcmp(name, routine) == 0; });
    if (listed) {
        verifier::Report("PASSIVE_LEVEL-only routine called while handling a set-power request (PowerIrpDDIs)",
                         routine, "by " + DriverText(ChargedDriver()));
    }
}

}  // namespace emu::kernel
