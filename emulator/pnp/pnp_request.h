// One PnP request as the PnP manager sends it: a new IRP for the top of the
// device stack, STATUS_NOT_SUPPORTED in its status block, sent at
// PASSIVE_LEVEL and waited for.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <functional>

namespace emu::pnp {

struct PnpResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// `setup` may fill the stack location the top driver sees. A request that
// must not fail is retried when its IRP cannot be allocated, as the real
// PnP manager cannot leave a removal unsent.
PnpResult SendPnpRequest(PDEVICE_OBJECT pdo, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION)>& setup = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The same for any major function the system sends to the top of a stack
// this way (IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL); `name` names it in findings.
PnpResult SendStackRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const char* name,
                           const std::function<void(PIO_STACK_LOCATION)>& setup,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));

const char* PnpMinorName(UCHAR minor);

}  // namespace emu::pnp
