// The windows of a device stack's removal in which the PnP rules forbid a
// function or filter driver to delete or detach its device object: from
// IRP_MN_SURPRISE_REMOVAL until IRP_MN_REMOVE_DEVICE is sent, and from
// IRP_MN_REMOVE_DEVICE until it has gone below the driver (it reached the
// bus driver). The PnP manager opens them; the kernel's IoDeleteDevice and
// IoDetachDevice consult them. The system's own drivers are not judged.
#pragma once

#include "emulator/kernel/system.h"

#include <vector>

namespace emu {

enum class RemovalWindow {
    SurpriseRemoved,    // IoDeleteDevice and IoDetachDevice forbidden
    RemoveNotYetBelow,  // IoDeleteDevice forbidden
};

// `devices`: the stack's device objects above its PDO; one window of each
// kind per PDO, opening again replaces it.
void OpenRemovalWindow(RemovalWindow window, PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& devices);
void CloseRemovalWindow(RemovalWindow window, PDEVICE_OBJECT pdo);

}  // namespace emu
