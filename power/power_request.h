// Steps shared by every power handler of the driver: reading a request's
// target, passing it down with one of our completion routines, finishing it
// ourselves.
#pragma once

#include "driver/device_context.h"

// The target of a set or query request, as the signed value the power
// states are compared by (a deeper state is larger).
inline LONG TargetSystemState(PIRP Irp)
{
    return static_cast<LONG>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState);
}

inline LONG TargetDeviceState(PIRP Irp)
{
    return static_cast<LONG>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState);
}

// Copies our stack location to the next one, sets Routine (with the
// DeviceContext as its context) for success, error and cancel, and sends the
// request to LowerDevice. Any IRQL up to DISPATCH_LEVEL. The request belongs
// to the lower drivers until Routine runs; what PoCallDriver returns is not
// looked at.
void PassPowerRequestDown(DeviceContext* Context, PIRP Irp, PIO_COMPLETION_ROUTINE Routine);

// Finishes a power request here with Status and no information. Any IRQL up
// to DISPATCH_LEVEL. The request is gone when this returns.
void CompletePowerRequest(PIRP Irp, NTSTATUS Status);
