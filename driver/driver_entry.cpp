#include "driver/device_context.h"
#include "driver/entry_points.h"

namespace {

// A copy of the registry path the driver was loaded with, from DriverEntry
// to DriverUnload. Nothing else reads it.
UNICODE_STRING RegistryPathCopy;

void FillDispatchTable(PDRIVER_OBJECT DriverObject)
{
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
}

}  // namespace

// Loads the driver: keeps a zero-terminated copy of the registry path and
// fills the dispatch table. PASSIVE_LEVEL, once per load.
//
// A path whose length leaves no room for the terminating zero in a 16-bit
// MaximumLength is refused: the sum would wrap and the copy would overrun
// the block.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    constexpr ULONG LargestCopiedLength = 0xFFFF - sizeof(WCHAR);
    const USHORT length = RegistryPath->Length;
    if (length > LargestCopiedLength) {
        return STATUS_INVALID_PARAMETER;
    }

    RegistryPathCopy.Length = length;
    RegistryPathCopy.MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
    RegistryPathCopy.Buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(PagedPool, RegistryPathCopy.MaximumLength, PondrelPoolTag));
    if (RegistryPathCopy.Buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(RegistryPathCopy.Buffer, RegistryPathCopy.MaximumLength);
    RtlCopyMemory(RegistryPathCopy.Buffer, RegistryPath->Buffer, length);

    FillDispatchTable(DriverObject);
    return STATUS_SUCCESS;
}

// Frees what DriverEntry kept. PASSIVE_LEVEL, after the last device is gone.
extern "C" void NTAPI DriverUnload(PDRIVER_OBJECT)
{
    if (RegistryPathCopy.Buffer != nullptr) {
        ExFreePool(RegistryPathCopy.Buffer);
        RegistryPathCopy.Buffer = nullptr;
    }
}
