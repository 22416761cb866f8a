// IoInvalidateDeviceState reaches the PnP manager of the machine whose
// device it names. Several machines may live at once (one per test thread
// at most), so each PnP manager registers itself for its lifetime.
#pragma once

#include "emulator/kernel/system.h"

namespace emu::pnp {

class PnpManager;

void RegisterForDeviceState(PnpManager* manager);
void UnregisterForDeviceState(PnpManager* manager);

}  // namespace emu::pnp

extern "C" void NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject);
