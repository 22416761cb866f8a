// The USB bus library routines a function driver calls to find interfaces
// in a configuration descriptor and to build its select-configuration URB.
// Both treat every length in the descriptor as a claim to be checked: the
// walk never leaves the bytes the descriptor block really has.
#include "emulator/usb/usb_api.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/descriptor_walk.h"
#include "emulator/usb/memory_bounds.h"

#include <cstdint>
#include <cstring>

namespace {

// "USBD" in a pool dump: the tag of blocks the bus library hands out.
constexpr ULONG UsbdPoolTag = 0x44425355;

bool Matches(LONG wanted, UCHAR actual)
{
    return wanted == -1 || wanted == static_cast<LONG>(actual);
}

bool InterfaceMatches(const USB_INTERFACE_DESCRIPTOR& interface, LONG number, LONG alternate, LONG interfaceClass,
                      LONG subClass, LONG protocol)
{
    return Matches(number, interface.bInterfaceNumber) && Matches(alternate, interface.bAlternateSetting) &&
           Matches(interfaceClass, interface.bInterfaceClass) && Matches(subClass, interface.bInterfaceSubClass) &&
           Matches(protocol, interface.bInterfaceProtocol);
}

// Number of entries before the terminating one (InterfaceDescriptor null),
// or -1 when the list runs out of its pool block before it is terminated.
LONG CountListEntries(PUSBD_INTERFACE_LIST_ENTRY list)
{
    const size_t capacity = emu::usb::AccessibleBytes(list, SIZE_MAX) / sizeof *list;
    for (size_t count = 0; count < capacity && count < 0x7FFFFFFF; ++count) {
        if (list[count].InterfaceDescriptor == nullptr) {
            return static_cast<LONG>(count);
        }
    }
    return -1;
}

// The endpoint count an interface descriptor announces, or -1 when the
// descriptor itself is not readable in full.
LONG EndpointCount(PUSB_INTERFACE_DESCRIPTOR interface)
{
    if (emu::usb::OverrunsPoolBlock(interface, sizeof *interface)) {
        return -1;
    }
    return interface->bNumEndpoints;
}

void FillInterfaceRecord(PUSBD_INTERFACE_INFORMATION record, PUSB_INTERFACE_DESCRIPTOR descriptor)
{
    const ULONG pipes = descriptor->bNumEndpoints;
    record->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    record->InterfaceNumber = descriptor->bInterfaceNumber;
    record->AlternateSetting = descriptor->bAlternateSetting;
    record->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
        record->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        record->Pipes[i].PipeFlags = 0;
    }
}

}  // namespace

// Finds the first interface descriptor at or after StartPosition whose
// fields match every criterion that is not -1; NULL when none does.
// PASSIVE_LEVEL; touches only the caller's descriptor.
extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    emu::verifier::CheckIrql("USBD_ParseConfigurationDescriptorEx", PASSIVE_LEVEL);
    const auto* base = reinterpret_cast<const uint8_t*>(ConfigurationDescriptor);
    if (base == nullptr) {
        return nullptr;
    }
    const size_t readable = emu::usb::ReadableConfigurationBytes(ConfigurationDescriptor);
    const auto* start = static_cast<const uint8_t*>(StartPosition);
    if (start < base || start > base + readable) {
        if (readable != 0) {
            emu::verifier::Report("start position outside the configuration descriptor",
                                  "USBD_ParseConfigurationDescriptorEx");
        }
        return nullptr;
    }
    emu::usb::DescriptorWalker walker(base, readable, static_cast<size_t>(start - base));
    while (const USB_COMMON_DESCRIPTOR* descriptor = walker.Next()) {
        if (descriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<USB_COMMON_DESCRIPTOR*>(descriptor));
        if (InterfaceMatches(*interface, InterfaceNumber, AlternateSetting, InterfaceClass, InterfaceSubClass,
                             InterfaceProtocol)) {
            return interface;
        }
    }
    return nullptr;
}

// Builds a select-configuration URB with one interface record per list
// entry and points each entry's Interface at its record. The URB comes from
// the non-paged pool and belongs to the caller, who frees it with
// ExFreePool; NULL when the pool is exhausted or the list is unusable.
// PASSIVE_LEVEL.
extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    emu::verifier::CheckIrql("USBD_CreateConfigurationRequestEx", PASSIVE_LEVEL);
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) {
        emu::verifier::Report("USBD_CreateConfigurationRequestEx called without a descriptor or a list",
                              "USBD_CreateConfigurationRequestEx");
        return nullptr;
    }
    const LONG interfaces = CountListEntries(InterfaceList);
    if (interfaces < 0) {
        emu::verifier::Report("interface list not terminated inside its pool block", "USBD_CreateConfigurationRequestEx");
        return nullptr;
    }
    ULONG pipes = 0;
    for (LONG k = 0; k < interfaces; ++k) {
        const LONG count = EndpointCount(InterfaceList[k].InterfaceDescriptor);
        if (count < 0) {
            emu::verifier::Report("interface descriptor runs past its pool block", "USBD_CreateConfigurationRequestEx");
            return nullptr;
        }
        pipes += static_cast<ULONG>(count);
    }
    const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(static_cast<size_t>(interfaces), pipes);
    if (size > 0xFFFF) {
        return nullptr;  // Hdr.Length could not describe it
    }
    // With no interface at all the formula gives less than the structure
    // itself; the block still holds the whole structure so that reading its
    // (empty) Interface member stays inside the allocation.
    const size_t allocation = size < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION) : size;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, allocation, UsbdPoolTag));
    if (urb == nullptr) {
        return nullptr;
    }
    std::memset(urb, 0, allocation);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* record = &urb->UrbSelectConfiguration.Interface;
    for (LONG k = 0; k < interfaces; ++k) {
        FillInterfaceRecord(record, InterfaceList[k].InterfaceDescriptor);
        InterfaceList[k].Interface = record;
        record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(record) + record->Length);
    }
    return urb;
}
