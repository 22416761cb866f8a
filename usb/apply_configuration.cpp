#include "driver/pool.h"
#include "usb/bus_requests.h"
#include "usb/configuration.h"

namespace {

constexpr ULONG HighestInterfaceNumber = 255;

// Fills List with the alternate-setting-0 descriptor of each of the
// InterfaceCount interfaces, lowest interface number first, and terminates
// it. Interface numbers without a descriptor are skipped; the search ends
// after the highest possible number. Returns how many were found.
ULONG CollectInterfaces(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG InterfaceCount,
                        PUSBD_INTERFACE_LIST_ENTRY List)
{
    ULONG found = 0;
    for (ULONG number = 0; number <= HighestInterfaceNumber && found < InterfaceCount; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            Descriptor, Descriptor, static_cast<LONG>(number), 0, -1, -1, -1);
        if (descriptor != nullptr) {
            List[found].InterfaceDescriptor = descriptor;
            List[found].Interface = nullptr;
            ++found;
        }
    }
    List[found].InterfaceDescriptor = nullptr;
    List[found].Interface = nullptr;
    return found;
}

// The pipes a block of Length bytes of interface information has room for.
ULONG PipesThatFit(ULONG Length)
{
    const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    return Length < header ? 0 : (Length - header) / sizeof(USBD_PIPE_INFORMATION);
}

// Keeps a copy of the selected first interface's information, its pipe
// count cut to what the copy holds (the count and the length are the bus
// driver's word), and one zeroed open flag per pipe. A failed allocation
// leaves its pointer null and gives STATUS_INSUFFICIENT_RESOURCES; the other
// block is still tried. An interface without pipes still gets a (one-byte)
// flag block, since the pool has no empty blocks. A block too short for its
// own header is STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS KeepPipeTable(DeviceContext* Context, PUSBD_INTERFACE_INFORMATION Selected)
{
    if (Selected->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG pipeCount = Selected->NumberOfPipes < PipesThatFit(Selected->Length)
                                ? Selected->NumberOfPipes
                                : PipesThatFit(Selected->Length);

    Context->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateFromPool(Selected->Length));
    if (Context->InterfaceInfo != nullptr) {
        RtlCopyMemory(Context->InterfaceInfo, Selected, Selected->Length);
        Context->InterfaceInfo->NumberOfPipes = pipeCount;
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }

    const ULONG flagBytes = pipeCount != 0 ? pipeCount : 1;
    Context->PipeOpenFlags = static_cast<PUCHAR>(AllocateFromPool(flagBytes));
    if (Context->PipeOpenFlags != nullptr) {
        RtlZeroMemory(Context->PipeOpenFlags, flagBytes);
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    return status;
}

// Selects the configuration with the interfaces of List and keeps the first
// interface's pipe table. The select request is the library's; it is freed
// here.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Descriptor,
                             PUSBD_INTERFACE_LIST_ENTRY List)
{
    PURB urb = USBD_CreateConfigurationRequestEx(Descriptor, List);
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
    for (ULONG pipe = 0; pipe < first->NumberOfPipes; ++pipe) {
        first->Pipes[pipe].MaximumTransferSize = 0xFFFFFFFF;
    }

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        status = KeepPipeTable(ContextOf(DeviceObject), first);
    }
    ExFreePool(urb);
    return status;
}

}  // namespace

// Selects the configuration ConfigDescriptor (already checked, and owned by
// the context) with every interface at alternate setting 0, and keeps the
// pipe table of the lowest-numbered interface in InterfaceInfo and
// PipeOpenFlags. PASSIVE_LEVEL. A configuration that announces no interface,
// or more than it holds, fails with STATUS_DEVICE_CONFIGURATION_ERROR.
NTSTATUS ApplyConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor)
{
    const ULONG interfaceCount = ConfigDescriptor->bNumInterfaces;
    if (interfaceCount == 0) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocateFromPool((interfaceCount + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    NTSTATUS status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (CollectInterfaces(ConfigDescriptor, interfaceCount, list) == interfaceCount) {
        status = SelectConfiguration(DeviceObject, ConfigDescriptor, list);
    }
    ExFreePool(list);
    return status;
}
