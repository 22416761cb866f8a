// How the bus ends a request it owns, and how it sees whether a request it
// is about to queue was cancelled meanwhile.
#pragma once

#include "emulator/kernel/wdm.h"

namespace emu::usb {

// Status set, no information, no priority boost, completed. Returns the
// status, for dispatch routines that return what they completed with.
inline NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Irp->Cancel, which IoCancelIrp may be setting on another processor right
// now (the field reads as the atomic byte it is there).
inline bool CancelRequested(PIRP irp)
{
    return irp->Cancel != FALSE;
}

}  // namespace emu::usb
