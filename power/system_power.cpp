#include "power/system_power.h"

#include "power/power_request.h"
#include "driver/pool.h"
#include "power/power_reserve.h"
#include "power/wait_wake.h"
#include "power/wake_arming.h"

// A system query, marked pending and holding the reference DispatchPower took.
// A device that can wake the system refuses a state it cannot wake it from,
// and asks for wait-wake to be armed before the system goes deeper than it
// is now (the arming work item arms it once this request and any that
// follows have ended). PASSIVE_LEVEL or DISPATCH_LEVEL (DispatchPower's
// context). The request is finished here when refused; otherwise it belongs
// to the lower drivers, then to SystemPowerCompletion.
NTSTATUS OnSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const LONG target = TargetPowerState(Irp);

    if (DeviceCanWake(context) && target > PowerValue(&context->Capabilities.SystemWake)) {
        EndPowerRequest(context, Irp, STATUS_INVALID_DEVICE_STATE);
        return STATUS_INVALID_DEVICE_STATE;
    }

    // Already armed is fine: the armed request stays as it is.
    if (target > ReadPowerState(&context->CurrentSystemPower) && DeviceCanWake(context)) {
        RequestWakeArming(context);
    }

    PassPowerRequestDown(context, Irp, SystemPowerCompletion);
    return STATUS_PENDING;
}

// The lower drivers have finished a system set or query. A failure goes on
// upward as it is; a success keeps the request here while the device request
// asked for on its behalf runs. Up to DISPATCH_LEVEL. After a success the
// request belongs to RequestDevicePowerForSystem or DevicePowerRequestDone,
// whichever completes it again.
NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DeviceContext* context = static_cast<DeviceContext*>(Context);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        return LetPowerRequestGoOn(context, Irp);
    }

    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        RecordPowerState(&context->CurrentSystemPower, TargetPowerState(Irp));
    }

    // A set that gets no device request goes on as the lower drivers left
    // it: a driver may not fail a set.
    const NTSTATUS requested = RequestDevicePowerForSystem(DeviceObject, Irp);
    if (!NT_SUCCESS(requested) && IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        return LetPowerRequestGoOn(context, Irp);
    }
    if (!NT_SUCCESS(requested)) {
        EndPowerRequest(context, Irp, requested);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

LONG DeviceStateForSystemState(const DeviceContext* Context, LONG SystemState)
{
    const ULONG entries = sizeof(Context->Capabilities.DeviceState) / sizeof(Context->Capabilities.DeviceState[0]);

    // The target comes from whoever sent the request: never read past the table.
    if (SystemState < 0 || static_cast<ULONG>(SystemState) >= entries) {
        return PowerDeviceD3;
    }
    return PowerValue(&Context->Capabilities.DeviceState[SystemState]);
}

LONG PowerPathReferences(DeviceContext* Context)
{
    return 1 + InterlockedCompareExchange(&Context->SystemPowerWaiting, 0, 0);
}

// Asks the power manager for the device request that matches a system
// request the lower drivers accepted: same minor code, the device state the
// capabilities give. Up to DISPATCH_LEVEL (SystemPowerCompletion's context).
// Returns STATUS_PENDING when DevicePowerRequestDone owns the system request
// from now on; otherwise why no device request could be issued, and the
// system request is still the caller's. A set takes the reserved context,
// which DevicePowerRequestDone gives back before the next system request can
// come; a query takes it when free and otherwise allocates one.
NTSTATUS RequestDevicePowerForSystem(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    SystemPowerContext* record = TakeReservedSystemPower(context);
    if (record == nullptr) {
        record = static_cast<SystemPowerContext*>(AllocateFromPool(sizeof(SystemPowerContext)));
        if (record == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        record->Reserved = false;
    }
    record->DeviceObject = DeviceObject;
    record->SystemIrp = Irp;

    // Counted before the device request can reach the drain, which runs
    // inside this call at the earliest.
    InterlockedIncrement(&context->SystemPowerWaiting);
    if (DeferWhileArming(context, record)) {
        return STATUS_PENDING;
    }
    return IssueDevicePower(context, record);
}

// Sends the device request for the system request `Record` holds: STATUS_PENDING
// when DevicePowerRequestDone owns the system request from now on; otherwise
// the record is given back and the system request is still the caller's.
// Up to DISPATCH_LEVEL.
NTSTATUS IssueDevicePower(DeviceContext* Context, SystemPowerContext* Record)
{
    PIRP irp = Record->SystemIrp;
    POWER_STATE deviceState;
    StorePowerValue(&deviceState, DeviceStateForSystemState(Context, TargetPowerState(irp)));
    NTSTATUS status = PoRequestPowerIrp(Context->PhysicalDevice, IoGetCurrentIrpStackLocation(irp)->MinorFunction,
                                        deviceState, DevicePowerRequestDone, Record, nullptr);
    if (NT_SUCCESS(status)) {
        return STATUS_PENDING;
    }
    InterlockedDecrement(&Context->SystemPowerWaiting);
    GiveBackSystemPower(Context, Record);
    return status;
}

// A device request held back while wait-wake was being armed goes now; if
// it cannot, its system request ends here as SystemPowerCompletion would
// have ended it: a set with the lower drivers' status, a query with the
// failure. PASSIVE_LEVEL (the end of an arming).
void IssueDeferredDevicePower(SystemPowerContext* Record)
{
    DeviceContext* context = ContextOf(Record->DeviceObject);
    PIRP irp = Record->SystemIrp;
    const NTSTATUS status = IssueDevicePower(context, Record);
    if (status == STATUS_PENDING) {
        return;
    }
    const bool set = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_SET_POWER;
    EndPowerRequest(context, irp, set ? irp->IoStatus.Status : status);
}

// The device request asked for on behalf of a system request has completed:
// the system request completes with its status and gives back the reference
// DispatchPower took for it. Called by the power manager at up to
// DISPATCH_LEVEL; DeviceObject is the physical device object the request was
// aimed at, so ours comes from the record. The record is given back first,
// since the next system request may come as soon as this one completes; the
// system request is gone when this returns.
void NTAPI DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);

    auto* record = static_cast<SystemPowerContext*>(Context);
    DeviceContext* context = ContextOf(record->DeviceObject);
    PIRP systemIrp = record->SystemIrp;
    GiveBackSystemPower(context, record);

    // No longer waiting before the power manager may send the next system
    // request, whose device request must not find this one still counted.
    InterlockedDecrement(&context->SystemPowerWaiting);

    systemIrp->IoStatus.Status = IoStatus->Status;
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Information = 0;
    IofCompleteRequest(systemIrp, IO_NO_INCREMENT);

    PowerRequestEnded(context);
    ReleaseIoReference(context);
}
