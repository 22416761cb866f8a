// How the bus ends a request it owns: status set, no information, no
// priority boost, completed. Returns the status, for dispatch routines that
// return what they completed with.
#pragma once

#include "emulator/kernel/wdm.h"

namespace emu::usb {

inline NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace emu::usb
