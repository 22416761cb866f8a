// Loading and unloading the echo driver and creating its named devices.
#include "tests/system/echo/echo_driver.h"

extern "C" {

EchoLog EchoEvents;
static PDRIVER_OBJECT EchoDriver;
static PDEVICE_OBJECT EchoDevices[4];

NTSTATUS EchoDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS EchoDispatchCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS EchoDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS EchoDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static const struct {
    PCWSTR Device;
    PCWSTR Link;
    ULONG Flags;
} EchoNames[4] = {
    {L"\\Device\\EchoBuffered", L"\\DosDevices\\EchoBuffered", DO_BUFFERED_IO},
    {L"\\Device\\EchoDirect", L"\\DosDevices\\EchoDirect", DO_DIRECT_IO},
    {L"\\Device\\EchoNeither", L"\\DosDevices\\EchoNeither", 0},
    {L"\\Device\\EchoLate", L"\\DosDevices\\EchoLate", DO_BUFFERED_IO},
};

static NTSTATUS CreateEchoDevice(ULONG Kind)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, EchoNames[Kind].Device);
    RtlInitUnicodeString(&linkName, EchoNames[Kind].Link);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(EchoDriver, sizeof(EchoDevice), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    EchoDevice* echo = EchoOf(device);
    echo->Kind = Kind;
    KeInitializeSpinLock(&echo->HeldLock);
    KeInitializeEvent(&echo->HeldEvent, SynchronizationEvent, FALSE);
    device->Flags |= EchoNames[Kind].Flags;
    EchoDevices[Kind] = device;
    return STATUS_SUCCESS;
}

static void DeleteEchoDevice(ULONG Kind)
{
    if (EchoDevices[Kind] == nullptr) {
        return;
    }
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, EchoNames[Kind].Link);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(EchoDevices[Kind]);
    EchoDevices[Kind] = nullptr;
}

// Deletes what DriverEntry and the tests created. PASSIVE_LEVEL.
static void EchoUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    for (ULONG kind = 0; kind < 4; ++kind) {
        DeleteEchoDevice(kind);
    }
    EchoDriver = nullptr;
}

// Creates the three devices; the I/O manager ends their initialization.
// PASSIVE_LEVEL.
NTSTATUS EchoDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    EchoDriver = DriverObject;
    RtlZeroMemory(&EchoEvents, sizeof(EchoEvents));
    DriverObject->MajorFunction[IRP_MJ_CREATE] = EchoDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = EchoDispatchCleanupClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = EchoDispatchCleanupClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = EchoDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = EchoDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoDispatchDeviceControl;
    DriverObject->DriverUnload = EchoUnload;
    for (ULONG kind = EchoBuffered; kind <= EchoNeither; ++kind) {
        NTSTATUS status = CreateEchoDevice(kind);
        if (!NT_SUCCESS(status)) {
            EchoUnload(DriverObject);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

EchoDevice* EchoDeviceOf(ULONG Kind)
{
    return EchoDevices[Kind] == nullptr ? nullptr : EchoOf(EchoDevices[Kind]);
}

PDEVICE_OBJECT EchoDeviceObject(ULONG Kind)
{
    return EchoDevices[Kind];
}

NTSTATUS EchoCreateLateDevice()
{
    return CreateEchoDevice(EchoLate);
}

void EchoFinishLateDevice()
{
    EchoDevices[EchoLate]->Flags &= ~DO_DEVICE_INITIALIZING;
}

void EchoDeleteLateDevice()
{
    DeleteEchoDevice(EchoLate);
}

}  // extern "C"
