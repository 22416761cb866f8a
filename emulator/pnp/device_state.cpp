#include "emulator/pnp/device_state.h"

#include "emulator/pnp/pnp_manager.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace emu::pnp {
namespace {

std::mutex managersMutex;
std::vector<PnpManager*> managers;  // guarded by managersMutex

}  // namespace

void RegisterForDeviceState(PnpManager* manager)
{
    std::lock_guard lock(managersMutex);
    managers.push_back(manager);
}

void UnregisterForDeviceState(PnpManager* manager)
{
    std::lock_guard lock(managersMutex);
    std::erase(managers, manager);
}

}  // namespace emu::pnp

// <= DISPATCH_LEVEL. The PnP manager queries the device state later, from
// its own thread, as on Windows.
extern "C" void NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (emu::CurrentIrql() > DISPATCH_LEVEL) {
        emu::verifier::Report("IRQL too high for the routine", "IoInvalidateDeviceState");
    }
    std::lock_guard lock(emu::pnp::managersMutex);
    for (emu::pnp::PnpManager* manager : emu::pnp::managers) {
        manager->OnDeviceStateInvalidated(PhysicalDeviceObject);
    }
}
