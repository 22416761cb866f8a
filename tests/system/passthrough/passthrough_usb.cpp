// The driver's conversation with the bus: synchronous URBs, reading the
// configuration descriptor, selecting the first interface and dropping the
// configuration again.
#include "tests/system/passthrough/passthrough.h"

extern "C" {

// Sends one URB and waits for it. PASSIVE_LEVEL.
NTSTATUS PassthroughSubmitUrb(PassthroughDevice* Device, PURB Urb)
{
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Device->Lower, nullptr, 0, nullptr, 0,
                                             TRUE, &done, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
    NTSTATUS status = IoCallDriver(Device->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

static PVOID Allocate(SIZE_T Bytes)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Bytes, PassthroughPoolTag);
    if (block != nullptr) {
        RtlZeroMemory(block, Bytes);
    }
    return block;
}

// Reads up to Length bytes of the configuration descriptor. PASSIVE_LEVEL.
static NTSTATUS ReadConfiguration(PassthroughDevice* Device, PVOID Buffer, ULONG Length, ULONG* Returned)
{
    PURB urb = static_cast<PURB>(Allocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    urb->UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    NTSTATUS status = PassthroughSubmitUrb(Device, urb);
    *Returned = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePool(urb);
    return status;
}

// Reads the whole configuration descriptor into Device->Config.
static NTSTATUS FetchConfiguration(PassthroughDevice* Device)
{
    auto header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    if (header == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG returned = 0;
    NTSTATUS status = ReadConfiguration(Device, header, sizeof(USB_CONFIGURATION_DESCRIPTOR), &returned);
    ULONG total = header->wTotalLength;
    ExFreePool(header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_UNSUCCESSFUL;
    }
    auto config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(total));
    if (config == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadConfiguration(Device, config, total, &returned);
    if (NT_SUCCESS(status) && returned != total) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(config);
        return status;
    }
    Device->Config = config;
    return STATUS_SUCCESS;
}

// Selects the configuration with its first interface and keeps a copy of
// the interface information the bus filled in. PASSIVE_LEVEL.
NTSTATUS PassthroughConfigure(PassthroughDevice* Device)
{
    NTSTATUS status = FetchConfiguration(Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(Device->Config, Device->Config, -1, 0, -1, -1, -1);
    if (list[0].InterfaceDescriptor == nullptr) {
        PassthroughDeconfigure(Device, FALSE);
        return STATUS_UNSUCCESSFUL;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(Device->Config, list);
    if (urb == nullptr) {
        PassthroughDeconfigure(Device, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = PassthroughSubmitUrb(Device, urb);
    if (NT_SUCCESS(status)) {
        ULONG length = list[0].Interface->Length;
        Device->Interface = static_cast<PUSBD_INTERFACE_INFORMATION>(Allocate(length));
        if (Device->Interface == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(Device->Interface, list[0].Interface, length);
        }
    }
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        PassthroughDeconfigure(Device, FALSE);
    }
    return status;
}

// Frees the configuration blocks and, when asked, puts the device back into
// the unconfigured state. PASSIVE_LEVEL.
void PassthroughDeconfigure(PassthroughDevice* Device, BOOLEAN TellDevice)
{
    if (TellDevice && Device->Interface != nullptr) {
        PURB urb = static_cast<PURB>(Allocate(sizeof(struct _URB_SELECT_CONFIGURATION)));
        if (urb != nullptr) {
            urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
            urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
            urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
            PassthroughSubmitUrb(Device, urb);
            ExFreePool(urb);
        }
    }
    if (Device->Interface != nullptr) {
        ExFreePool(Device->Interface);
        Device->Interface = nullptr;
    }
    if (Device->Config != nullptr) {
        ExFreePool(Device->Config);
        Device->Config = nullptr;
    }
}

// Disables the device interface once, whichever of surprise removal and
// removal comes first. PASSIVE_LEVEL.
void PassthroughDisableInterface(PassthroughDevice* Device)
{
    if (InterlockedExchange(&Device->InterfaceEnabled, 0) != 0) {
        IoSetDeviceInterfaceState(&Device->InterfaceName, FALSE);
    }
}

}  // extern "C"
