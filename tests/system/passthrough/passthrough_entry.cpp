// Loading, adding the device, unloading, and the count of transfers in
// flight that removal waits for.
#include "tests/system/passthrough/passthrough.h"

extern "C" {

PassthroughObservations PassthroughSeen;

static void PassthroughUnload(PDRIVER_OBJECT DriverObject);
static NTSTATUS PassthroughAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);

// Fills the dispatch table. PASSIVE_LEVEL.
NTSTATUS PassthroughDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = PassthroughDispatchForward;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = PassthroughDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PassthroughDispatchCleanupClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = PassthroughDispatchCleanupClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = PassthroughDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = PassthroughDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PassthroughDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PassthroughDispatchPower;
    DriverObject->DriverExtension->AddDevice = PassthroughAddDevice;
    DriverObject->DriverUnload = PassthroughUnload;
    return STATUS_SUCCESS;
}

// Nothing is left by the time the PnP manager unloads the driver. PASSIVE_LEVEL.
static void PassthroughUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    InterlockedIncrement(&PassthroughSeen.UnloadCalls);
}

// Creates the named function device object over the bus's PDO and
// registers (but does not enable) the device interface. PASSIVE_LEVEL.
static NTSTATUS PassthroughAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, L"\\Device\\passthru");
    RtlInitUnicodeString(&linkName, L"\\DosDevices\\passthru");

    PDEVICE_OBJECT self = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PassthroughDevice), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &self);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PassthroughDevice* device = PassthroughOf(self);
    device->Self = self;
    device->Pdo = Pdo;
    device->IoCount = 1;
    device->DevicePower = PowerDeviceD0;
    KeInitializeEvent(&device->IdleEvent, NotificationEvent, FALSE);

    device->Lower = IoAttachDeviceToDeviceStack(self, Pdo);
    if (device->Lower == nullptr) {
        IoDeleteDevice(self);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoRegisterDeviceInterface(Pdo, &PassthroughInterfaceClass, nullptr, &device->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(device->Lower);
        IoDeleteDevice(self);
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&device->InterfaceName);
        IoDetachDevice(device->Lower);
        IoDeleteDevice(self);
        return status;
    }
    self->Flags |= DO_DIRECT_IO | (device->Lower->Flags & DO_POWER_PAGABLE);
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Counts a transfer in. Any IRQL up to DISPATCH_LEVEL.
LONG PassthroughAcquireIo(PassthroughDevice* Device)
{
    return InterlockedIncrement(&Device->IoCount);
}

// Counts a transfer out; the last one lets removal go on. Any IRQL up to
// DISPATCH_LEVEL.
void PassthroughReleaseIo(PassthroughDevice* Device)
{
    if (InterlockedDecrement(&Device->IoCount) == 0) {
        KeSetEvent(&Device->IdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

}  // extern "C"
