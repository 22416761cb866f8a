// The pass-through driver: loading, adding its named device over the PDO,
// handles that are merely counted by the I/O manager, and Plug and Play.
#include "tests/system/passthrough/passthrough.h"

extern "C" {

PassthroughObservations PassthroughSeen;

static PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT DeviceObject)
{
    return *static_cast<PDEVICE_OBJECT*>(DeviceObject->DeviceExtension);
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerOf(DeviceObject), Irp);
}

// Hands the request back to the waiting start. Up to DISPATCH_LEVEL; the
// request stays with the waiter.
static NTSTATUS StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRP_MN_START_DEVICE: the bus starts first. PASSIVE_LEVEL.
static NTSTATUS OnStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(LowerOf(DeviceObject), Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// IRP_MN_REMOVE_DEVICE: passed down, then the device object goes. PASSIVE_LEVEL.
static NTSTATUS OnRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = LowerOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(DeviceObject, Irp);
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\passthru");
    IoDeleteSymbolicLink(&linkName);
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    return status;
}

// IRP_MJ_PNP. PASSIVE_LEVEL, in the PnP manager's thread.
static NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    LONG slot = InterlockedIncrement(&PassthroughSeen.PnpLogCount) - 1;
    if (slot < static_cast<LONG>(sizeof(PassthroughSeen.PnpLog))) {
        PassthroughSeen.PnpLog[slot] = minor;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || Irp->IoStatus.Status != STATUS_NOT_SUPPORTED ||
        Irp->IoStatus.Information != 0) {
        InterlockedIncrement(&PassthroughSeen.PnpOddArrivals);
    }
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return OnStart(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return OnRemove(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (PassthroughSeen.RefuseQueries != 0) {
            return Complete(Irp, STATUS_DEVICE_BUSY);
        }
        [[fallthrough]];
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(DeviceObject, Irp);
    default:
        return PassDown(DeviceObject, Irp);
    }
}

// IRP_MJ_POWER: the bus driver owns power here. Any IRQL up to DISPATCH_LEVEL.
static NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(LowerOf(DeviceObject), Irp);
}

// IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE: nothing to keep. PASSIVE_LEVEL.
static NTSTATUS DispatchHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return Complete(Irp, STATUS_SUCCESS);
}

// Everything else goes to the bus unchanged. The caller's IRQL.
static NTSTATUS DispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return PassDown(DeviceObject, Irp);
}

// Creates the named function device object over the bus's PDO. PASSIVE_LEVEL.
static NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, L"\\Device\\passthru");
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\passthru");
    PDEVICE_OBJECT self = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PDEVICE_OBJECT), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &self);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(self, Pdo);
    status = lower == nullptr ? STATUS_NO_SUCH_DEVICE : IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        if (lower != nullptr) {
            IoDetachDevice(lower);
        }
        IoDeleteDevice(self);
        return status;
    }
    *static_cast<PDEVICE_OBJECT*>(self->DeviceExtension) = lower;
    self->Flags |= lower->Flags & DO_POWER_PAGABLE;
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Nothing is left by the time the PnP manager unloads the driver. PASSIVE_LEVEL.
static void Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    InterlockedIncrement(&PassthroughSeen.UnloadCalls);
}

// Fills the dispatch table. PASSIVE_LEVEL.
NTSTATUS PassthroughDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = DispatchForward;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchHandle;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchHandle;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchHandle;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // extern "C"
