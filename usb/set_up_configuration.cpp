#include "driver/pool.h"
#include "usb/bus_requests.h"
#include "usb/configuration.h"
#include "usb/descriptor_checks.h"

namespace {

constexpr UCHAR RemoteWakeupAttribute = 0x20;

_URB_CONTROL_DESCRIPTOR_REQUEST* AllocateDescriptorRequest()
{
    return static_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(AllocateFromPool(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
}

// Reads one descriptor of the device (index 0) into Buffer with the request
// block Urb, zeroed first: the bus driver wrote into it last time;
// *Delivered receives the byte count the bus driver reports.
NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, _URB_CONTROL_DESCRIPTOR_REQUEST* Urb, UCHAR DescriptorType,
                        PVOID Buffer, ULONG Length, ULONG* Delivered)
{
    RtlZeroMemory(Urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    Urb->Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->TransferBufferLength = Length;
    Urb->TransferBuffer = Buffer;
    Urb->TransferBufferMDL = nullptr;
    Urb->UrbLink = nullptr;
    Urb->DescriptorType = DescriptorType;
    Urb->Index = 0;
    Urb->LanguageId = 0;

    NTSTATUS status = SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(Urb));
    *Delivered = Urb->TransferBufferLength;
    return status;
}

// Reads the 9-byte header of the first configuration and gives its
// wTotalLength, once the header has proved sound.
NTSTATUS ReadConfigHeader(PDEVICE_OBJECT DeviceObject, _URB_CONTROL_DESCRIPTOR_REQUEST* Urb, USHORT* TotalLength)
{
    auto* header = static_cast<PUCHAR>(AllocateFromPool(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    if (header == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG delivered = 0;
    NTSTATUS status = ReadDescriptor(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                                     sizeof(USB_CONFIGURATION_DESCRIPTOR), &delivered);
    if (NT_SUCCESS(status) && !IsSoundConfigHeader(header, delivered)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (NT_SUCCESS(status)) {
        *TotalLength = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(header)->wTotalLength;
    }
    ExFreePool(header);
    return status;
}

// Reads the whole first configuration. On success *Block is a pool block of
// wTotalLength bytes that has passed the checks, and the caller owns it; on
// failure nothing is left allocated.
NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT DeviceObject, _URB_CONTROL_DESCRIPTOR_REQUEST* Urb, PUCHAR* Block)
{
    USHORT totalLength = 0;
    NTSTATUS status = ReadConfigHeader(DeviceObject, Urb, &totalLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* block = static_cast<PUCHAR>(AllocateFromPool(totalLength));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG delivered = 0;
    status = ReadDescriptor(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, block, totalLength, &delivered);
    if (NT_SUCCESS(status) && !IsSoundConfigDescriptor(block, delivered, totalLength)) {
        status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePool(block);
        return status;
    }
    *Block = block;
    return STATUS_SUCCESS;
}

}  // namespace

// Puts a freshly started device into its working configuration: reads the
// device descriptor (which must succeed, though nothing of it is used), then
// the configuration, and selects it. PASSIVE_LEVEL, in the thread of
// IRP_MN_START_DEVICE, with the three configuration pointers null. Whatever
// it stored before a failure stays in the context for FreeConfiguration.
NTSTATUS SetUpConfiguration(PDEVICE_OBJECT DeviceObject)
{
    _URB_CONTROL_DESCRIPTOR_REQUEST* urb = AllocateDescriptorRequest();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID deviceDescriptor = AllocateFromPool(sizeof(USB_DEVICE_DESCRIPTOR));
    if (deviceDescriptor == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG delivered = 0;
    NTSTATUS status = ReadDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor,
                                     sizeof(USB_DEVICE_DESCRIPTOR), &delivered);
    if (NT_SUCCESS(status)) {
        status = FetchConfigDescriptor(DeviceObject);
    }

    ExFreePool(urb);
    ExFreePool(deviceDescriptor);
    return status;
}

// Reads the first configuration in two passes (header, then wTotalLength
// bytes), keeps it in ConfigDescriptor with RemoteWakeCapable taken from its
// attributes, and selects it. PASSIVE_LEVEL. A device whose descriptors do
// not hold together fails with STATUS_DEVICE_DATA_ERROR and leaves nothing
// stored; once stored, the descriptor stays even when the selection fails.
NTSTATUS FetchConfigDescriptor(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    _URB_CONTROL_DESCRIPTOR_REQUEST* urb = AllocateDescriptorRequest();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUCHAR block = nullptr;
    NTSTATUS status = ReadConfigDescriptor(DeviceObject, urb, &block);
    if (NT_SUCCESS(status)) {
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block);
        context->ConfigDescriptor = descriptor;
        context->RemoteWakeCapable = (descriptor->bmAttributes & RemoteWakeupAttribute) != 0 ? 1 : 0;
        status = ApplyConfiguration(DeviceObject, descriptor);
    }

    ExFreePool(urb);
    return status;
}
