#include "power/device_power.h"

#include "io/read_queue.h"
#include "power/power_drain.h"
#include "power/power_request.h"
#include "power/wait_wake.h"

// The request handed to the work item (STATUS_PENDING), or, when no record
// could be had for it, completed here with the reason.
static NTSTATUS GoDownOrEnd(DeviceContext* Context, PIRP Irp, NTSTATUS Queued)
{
    if (Queued != STATUS_PENDING) {
        EndPowerRequest(Context, Irp, Queued);
    }
    return Queued;
}

// A device set, marked pending and holding the reference DispatchPower took.
// Towards D0 it goes down at once and is recorded on the way up; leaving D0
// it goes down only after the drain; any other set goes down at once. The
// power manager hears of a state below D0 before the request goes down, here
// or in the drain, where PoSetPowerState may be called for it (a lower
// driver may complete the request from its DPC). Above APC_LEVEL (a stack
// that is not DO_POWER_PAGABLE) the announcement is left to the drain's
// work item, which passes the request down undrained. PASSIVE_LEVEL or
// DISPATCH_LEVEL (DispatchPower's context). The request belongs to the
// lower drivers or the work item afterwards; it is completed here only
// once removal has begun, or if neither the reserved record nor pool could
// be had (the reserve is free for every set the power manager sends).
NTSTATUS OnDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const LONG target = TargetPowerState(Irp);
    const LONG present = ReadPowerState(&context->CurrentDevicePower);

    if (present == PowerDeviceD0 && target > present) {
        return GoDownOrEnd(context, Irp, QueuePowerDrain(DeviceObject, Irp));
    }

    PIO_COMPLETION_ROUTINE completion = target < present ? DevicePowerUpCompletion : DevicePowerDownCompletion;
    if (target > PowerDeviceD0 && KeGetCurrentIrql() > APC_LEVEL) {
        return GoDownOrEnd(context, Irp, QueuePowerAnnouncement(DeviceObject, Irp, completion));
    }
    AnnounceLowPower(DeviceObject, target);
    PassPowerRequestDown(context, Irp, completion);
    return STATUS_PENDING;
}

void ReportDevicePower(PDEVICE_OBJECT DeviceObject, LONG State)
{
    POWER_STATE reported;
    StorePowerValue(&reported, State);
    PoSetPowerState(DeviceObject, DevicePowerState, reported);
}

void AnnounceLowPower(PDEVICE_OBJECT DeviceObject, LONG Target)
{
    if (Target > PowerDeviceD0) {
        ReportDevicePower(DeviceObject, Target);
    }
}

// Records a new device power state once the lower drivers have put the
// device in it; the power manager hears of D0 only now, when the device has
// its power back (of a lower state it heard before the request went down).
// Up to DISPATCH_LEVEL.
static void RecordDevicePower(PDEVICE_OBJECT DeviceObject, DeviceContext* Context, LONG State)
{
    RecordPowerState(&Context->CurrentDevicePower, State);
    if (State == PowerDeviceD0) {
        ReportDevicePower(DeviceObject, State);
    }
}

// The lower drivers have finished a set towards D0: the device has its power
// back, so the new state is recorded and the request completed afresh with
// success; a failure goes on upward unchanged. Up to DISPATCH_LEVEL. The
// request is gone when this returns.
NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceContext* context = static_cast<DeviceContext*>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        return LetPowerRequestGoOn(context, Irp);
    }

    RecordDevicePower(DeviceObject, context, TargetPowerState(Irp));
    ReleaseHeldReads(context);
    EndPowerRequest(context, Irp, STATUS_SUCCESS);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The lower drivers have finished a set that does not go towards D0, or a
// drained query: a successful set is recorded, and the completion goes on
// with the lower drivers' status. Up to DISPATCH_LEVEL. The request goes on
// upward when this returns.
NTSTATUS NTAPI DevicePowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceContext* context = static_cast<DeviceContext*>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_SET_POWER) {
        return LetPowerRequestGoOn(context, Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        RecordDevicePower(DeviceObject, context, TargetPowerState(Irp));
    } else if (ReadPowerState(&context->CurrentDevicePower) == PowerDeviceD0) {
        // The power manager heard of the lower state before the request
        // went down; a device left in D0 says so again (allowed here).
        ReportDevicePower(DeviceObject, PowerDeviceD0);
    }
    if (ReadPowerState(&context->CurrentDevicePower) == PowerDeviceD0) {
        ReleaseHeldReads(context);  // a drained query, or a set that left the device in D0
    }
    return LetPowerRequestGoOn(context, Irp);
}

// A device query, marked pending and holding the reference DispatchPower
// took. A remote-wake device refuses a state it could not signal wake from;
// a query at least as deep as the present state is drained first; a
// shallower one goes down at once, with DevicePowerDownCompletion giving
// back its reference. PASSIVE_LEVEL or DISPATCH_LEVEL (DispatchPower's
// context). The request belongs to the drain, the lower drivers or nobody
// (completed here) afterwards.
NTSTATUS OnDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const LONG target = TargetPowerState(Irp);

    if (DeviceCanWake(context) && target > PowerValue(&context->Capabilities.DeviceWake)) {
        EndPowerRequest(context, Irp, STATUS_INVALID_DEVICE_STATE);
        return STATUS_INVALID_DEVICE_STATE;
    }

    NTSTATUS status = STATUS_SUCCESS;
    if (target >= ReadPowerState(&context->CurrentDevicePower)) {
        status = QueuePowerDrain(DeviceObject, Irp);
        if (status == STATUS_PENDING) {
            return STATUS_PENDING;
        }
    }

    if (!NT_SUCCESS(status)) {
        EndPowerRequest(context, Irp, status);
        return status;
    }
    // Marked pending: its own location goes down, never ours.
    PassPowerRequestDown(context, Irp, DevicePowerDownCompletion);
    return STATUS_PENDING;
}
