// Plug and Play: start after the bus, agree to stop and removal only when
// no transfer is in flight, tear down at surprise removal and removal.
#include "tests/system/passthrough/passthrough.h"

extern "C" {

static void LogPnp(UCHAR minor)
{
    LONG slot = InterlockedIncrement(&PassthroughSeen.PnpLogCount) - 1;
    if (slot < static_cast<LONG>(sizeof(PassthroughSeen.PnpLog))) {
        PassthroughSeen.PnpLog[slot] = minor;
    }
}

// Hands the request back to the waiting dispatch routine. Any IRQL up to
// DISPATCH_LEVEL; the request stays with the waiter.
static NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Lets the lower drivers finish the request first. PASSIVE_LEVEL; the
// request is still ours, not completed, when this returns.
static NTSTATUS ForwardAndWait(PassthroughDevice* Device, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Device->Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

static NTSTATUS PassDown(PassthroughDevice* Device, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Device->Lower, Irp);
}

static NTSTATUS OnStart(PassthroughDevice* Device, PIRP Irp)
{
    NTSTATUS status = ForwardAndWait(Device, Irp);
    if (NT_SUCCESS(status)) {
        status = PassthroughConfigure(Device);
    }
    if (NT_SUCCESS(status)) {
        status = IoSetDeviceInterfaceState(&Device->InterfaceName, TRUE);  // already enabled after a stop
    }
    if (NT_SUCCESS(status)) {
        status = STATUS_SUCCESS;
        InterlockedExchange(&Device->InterfaceEnabled, 1);
        InterlockedExchange(&Device->State, PassthroughStarted);
    }
    return PassthroughComplete(Irp, status, 0);
}

static NTSTATUS OnQueryCapabilities(PassthroughDevice* Device, PIRP Irp)
{
    NTSTATUS status = ForwardAndWait(Device, Irp);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(status)) {
        Device->Capabilities = *capabilities;
        capabilities->SurpriseRemovalOK = TRUE;
    }
    return PassthroughComplete(Irp, status, Irp->IoStatus.Information);
}

// Query-stop and query-remove: agreed only while nothing is in flight, so
// that the configuration can go away under no transfer.
static NTSTATUS OnQuery(PassthroughDevice* Device, PIRP Irp)
{
    Device->StateBeforeQuery = InterlockedExchange(&Device->State, PassthroughStopPending);
    if (Device->IoCount > 1) {
        InterlockedExchange(&Device->State, Device->StateBeforeQuery);
        return PassthroughComplete(Irp, STATUS_DEVICE_BUSY, 0);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Device, Irp);
}

static NTSTATUS OnCancelQuery(PassthroughDevice* Device, PIRP Irp)
{
    NTSTATUS status = ForwardAndWait(Device, Irp);
    if (Device->State == PassthroughStopPending) {
        InterlockedExchange(&Device->State, Device->StateBeforeQuery);
    }
    return PassthroughComplete(Irp, status, Irp->IoStatus.Information);
}

static NTSTATUS OnStop(PassthroughDevice* Device, PIRP Irp)
{
    InterlockedExchange(&Device->State, PassthroughStopped);
    PassthroughDeconfigure(Device, TRUE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Device, Irp);
}

static NTSTATUS OnSurpriseRemoval(PassthroughDevice* Device, PIRP Irp)
{
    InterlockedExchange(&Device->State, PassthroughSurpriseRemoved);
    PassthroughDisableInterface(Device);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Device, Irp);
}

// Waits for the transfers in flight, passes the removal down and deletes
// the device object; nothing of the device is touched afterwards.
static NTSTATUS OnRemove(PassthroughDevice* Device, PIRP Irp)
{
    LONG previous = InterlockedExchange(&Device->State, PassthroughRemoved);
    PassthroughDisableInterface(Device);
    PassthroughReleaseIo(Device);
    KeWaitForSingleObject(&Device->IdleEvent, Executive, KernelMode, FALSE, nullptr);
    PassthroughDeconfigure(Device, previous != PassthroughSurpriseRemoved);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(Device, Irp);

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\passthru");
    IoDetachDevice(Device->Lower);
    IoDeleteSymbolicLink(&linkName);
    RtlFreeUnicodeString(&Device->InterfaceName);
    IoDeleteDevice(Device->Self);
    return status;
}

// IRP_MJ_PNP. PASSIVE_LEVEL, in the PnP manager's thread.
NTSTATUS PassthroughDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassthroughDevice* device = PassthroughOf(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    LogPnp(minor);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || Irp->IoStatus.Status != STATUS_NOT_SUPPORTED ||
        Irp->IoStatus.Information != 0) {
        InterlockedIncrement(&PassthroughSeen.PnpOddArrivals);
    }
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return OnStart(device, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return OnQueryCapabilities(device, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return OnQuery(device, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return OnCancelQuery(device, Irp);
    case IRP_MN_STOP_DEVICE:
        return OnStop(device, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return OnSurpriseRemoval(device, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return OnRemove(device, Irp);
    default:
        return PassDown(device, Irp);
    }
}

}  // extern "C"
