// Power: the driver owns its stack's power policy. A system request goes
// down first; on its way back the driver asks for the matching device
// request and completes the system request when that one is done. Device
// power-downs are recorded before they go down, power-ups after.
#include "tests/system/passthrough/passthrough.h"

extern "C" {

static DEVICE_POWER_STATE DeviceStateFor(PassthroughDevice* Device, SYSTEM_POWER_STATE System)
{
    if (System <= PowerSystemUnspecified || System >= PowerSystemMaximum) {
        return PowerDeviceD3;
    }
    DEVICE_POWER_STATE mapped = Device->Capabilities.DeviceState[System];
    if (mapped == PowerDeviceUnspecified) {
        return System == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    }
    return mapped;
}

// Callback of the device request asked for on behalf of a system request:
// finishes the system request. Up to DISPATCH_LEVEL; the system request is
// completed here and belongs to the power manager afterwards.
static void DevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                            PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(PowerState);
    PIRP systemIrp = static_cast<PIRP>(Context);
    if (!NT_SUCCESS(IoStatus->Status)) {
        InterlockedIncrement(&PassthroughSeen.DeviceRequestsFailed);
        if (MinorFunction == IRP_MN_QUERY_POWER) {
            systemIrp->IoStatus.Status = IoStatus->Status;
        }
    }
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

// The lower drivers have finished a system request. Up to DISPATCH_LEVEL;
// keeps the request while its device request runs.
static NTSTATUS SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PassthroughDevice* device = static_cast<PassthroughDevice*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE state;
    state.DeviceState = DeviceStateFor(device, stack->Parameters.Power.State.SystemState);
    NTSTATUS status = PoRequestPowerIrp(device->Pdo, stack->MinorFunction, state, DevicePowerDone, Irp, nullptr);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device power-up has been carried out by the bus. Up to DISPATCH_LEVEL.
static NTSTATUS DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PassthroughDevice* device = static_cast<PassthroughDevice*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
        InterlockedExchange(&device->DevicePower, state.DeviceState);
        PoSetPowerState(device->Self, DevicePowerState, state);
    }
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

static NTSTATUS OnSystemPower(PassthroughDevice* Device, PIRP Irp)
{
    InterlockedIncrement(&PassthroughSeen.SystemPowerRequests);
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SystemPowerCompletion, Device, TRUE, TRUE, TRUE);
    PoCallDriver(Device->Lower, Irp);
    return STATUS_PENDING;
}

static NTSTATUS OnDeviceSetPower(PassthroughDevice* Device, PIRP Irp)
{
    InterlockedIncrement(&PassthroughSeen.DevicePowerRequests);
    POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
    if (state.DeviceState > Device->DevicePower) {
        InterlockedExchange(&Device->DevicePower, state.DeviceState);
        PoSetPowerState(Device->Self, DevicePowerState, state);
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(Device->Lower, Irp);
    }
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, DevicePowerUpCompletion, Device, TRUE, TRUE, TRUE);
    PoCallDriver(Device->Lower, Irp);
    return STATUS_PENDING;
}

static bool OwnsPolicy(PassthroughDevice* Device)
{
    LONG state = Device->State;
    return state != PassthroughAdded && state != PassthroughSurpriseRemoved && state != PassthroughRemoved;
}

// IRP_MJ_POWER. PASSIVE_LEVEL on a pageable stack.
NTSTATUS PassthroughDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassthroughDevice* device = PassthroughOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0 && KeGetCurrentIrql() != PASSIVE_LEVEL) {
        InterlockedIncrement(&PassthroughSeen.WrongPowerIrql);
    }
    bool setOrQuery = stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    if (setOrQuery && stack->Parameters.Power.Type == SystemPowerState && OwnsPolicy(device)) {
        return OnSystemPower(device, Irp);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        return OnDeviceSetPower(device, Irp);
    }
    if (setOrQuery) {
        PoStartNextPowerIrp(Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(device->Lower, Irp);
}

}  // extern "C"
