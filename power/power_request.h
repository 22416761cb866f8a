// Steps shared by every power handler of the driver: reading a request's
// target, passing it down with one of our completion routines, finishing it
// ourselves.
#pragma once

#include "driver/device_context.h"

// A 32-bit power field (a power state or power type) read and written as
// the signed number it holds. A sender may put any value in a request:
// copying keeps a value outside the enumeration's range from ever being
// loaded as the enumeration.
inline LONG PowerValue(const void* Field)
{
    LONG value;
    RtlCopyMemory(&value, Field, sizeof(value));
    return value;
}

inline void StorePowerValue(void* Field, LONG Value)
{
    RtlCopyMemory(Field, &Value, sizeof(Value));
}

// CurrentDevicePower and CurrentSystemPower as other threads may read them
// while the power path writes them (WakeRequestDone reads the device state
// wherever a wake completes): interlocked, so each read sees a whole value
// ordered with the write.
inline LONG ReadPowerState(volatile void* Field)
{
    return InterlockedCompareExchange(static_cast<volatile LONG*>(Field), 0, 0);
}

inline void RecordPowerState(volatile void* Field, LONG Value)
{
    InterlockedExchange(static_cast<volatile LONG*>(Field), Value);
}

// The target of a set or query request, as the signed value the power
// states are compared by (a deeper state is larger).
inline LONG TargetPowerState(PIRP Irp)
{
    return PowerValue(&IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
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

// Ends the driver's part in a set or query request that it finishes here
// with Status: the power manager may send the next request of its kind, the
// request completes, and the reference DispatchPower took for it goes back.
// Any IRQL up to DISPATCH_LEVEL. The request is gone when this returns.
void EndPowerRequest(DeviceContext* Context, PIRP Irp, NTSTATUS Status);

// The same for a request whose completion goes on upward as the lower
// drivers left it; returns what the completion routine returns for that.
// Any IRQL up to DISPATCH_LEVEL.
NTSTATUS LetPowerRequestGoOn(DeviceContext* Context, PIRP Irp);
