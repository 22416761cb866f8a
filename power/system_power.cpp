#include "power/system_power.h"

#include "power/power_request.h"
#include "power/wait_wake.h"

// A system query, marked pending and holding the reference DispatchPower took.
// A device that wakes the system refuses a state it cannot wake it from, and
// arms wait-wake before the system goes deeper than it is now. PASSIVE_LEVEL
// (DispatchPower's context). The request is finished here when refused;
// otherwise it belongs to the lower drivers, then to SystemPowerCompletion.
NTSTATUS OnSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const LONG target = TargetPowerState(Irp);

    if (context->RemoteWakeCapable != 0 && target > PowerValue(&context->Capabilities.SystemWake)) {
        EndPowerRequest(context, Irp, STATUS_INVALID_DEVICE_STATE);
        return STATUS_INVALID_DEVICE_STATE;
    }

    // Already armed is fine: the armed request stays as it is.
    if (target > ReadPowerState(&context->CurrentSystemPower) && context->RemoteWakeCapable != 0) {
        ArmWaitWake(context);
    }

    PassPowerRequestDown(context, Irp, SystemPowerCompletion);
    return STATUS_PENDING;
}

// The lower drivers have finished a system set or query. A failure goes on
// upward as it is; a success keeps the request here while the device request
// asked for on its behalf runs. Up to DISPATCH_LEVEL. After a success the
// request belongs to RequestDevicePowerForSystem or DevicePowerRequestDone,
// whichever completes it again.
NTSTATUS SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
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

    RequestDevicePowerForSystem(DeviceObject, Irp);
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
// When no device request can be issued, the system request is completed here
// with the reason; otherwise DevicePowerRequestDone owns it.
void RequestDevicePowerForSystem(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    POWER_STATE deviceState;
    StorePowerValue(&deviceState, DeviceStateForSystemState(context, TargetPowerState(Irp)));

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    auto* record = static_cast<SystemPowerContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SystemPowerContext), PondrelPoolTag));
    if (record != nullptr) {
        record->DeviceObject = DeviceObject;
        record->SystemIrp = Irp;

        // Counted before the device request can reach the drain, which runs
        // inside this call at the earliest.
        InterlockedIncrement(&context->SystemPowerWaiting);
        status = PoRequestPowerIrp(context->PhysicalDevice, IoGetCurrentIrpStackLocation(Irp)->MinorFunction,
                                   deviceState, DevicePowerRequestDone, record, nullptr);
        if (NT_SUCCESS(status)) {
            return;
        }
        InterlockedDecrement(&context->SystemPowerWaiting);
        ExFreePool(record);
    }

    EndPowerRequest(context, Irp, status);
}

// The device request asked for on behalf of a system request has completed:
// the system request completes with its status and gives back the reference
// DispatchPower took for it. Called by the power manager at up to
// DISPATCH_LEVEL; DeviceObject is the physical device object the request was
// aimed at, so ours comes from the record. The system request is gone, and
// the record freed, when this returns.
void DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);

    auto* record = static_cast<SystemPowerContext*>(Context);
    DeviceContext* context = ContextOf(record->DeviceObject);
    PIRP systemIrp = record->SystemIrp;

    // No longer waiting before the power manager may send the next system
    // request, whose device request must not find this one still counted.
    InterlockedDecrement(&context->SystemPowerWaiting);

    systemIrp->IoStatus.Status = IoStatus->Status;
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Information = 0;
    IofCompleteRequest(systemIrp, IO_NO_INCREMENT);

    ReleaseIoReference(context);
    ExFreePool(record);
}
