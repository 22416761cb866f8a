// URB_FUNCTION_SELECT_CONFIGURATION: the interface records a driver sends
// are checked against the configuration descriptor it names, then filled
// with handles and pipe data. A null descriptor unconfigures the device.
// Either way every pipe handle of the previous configuration dies.
#include "emulator/usb/emulated_device.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/enumeration.h"
#include "emulator/usb/memory_bounds.h"
#include "emulator/usb/transfer_buffer.h"
#include "emulator/usb/usbd_status.h"

namespace emu::usb {
namespace {

constexpr size_t RecordHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// bConfigurationValue of a descriptor the bus can read, else 0.
uint8_t ConfigurationValue(const void* config)
{
    const size_t valueAt = offsetof(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue);
    if (config == nullptr || ReadableConfigurationBytes(config) <= valueAt) {
        return 0;
    }
    return static_cast<const uint8_t*>(config)[valueAt];
}

// The interface records, walked by their Length up to Hdr.Length and never
// past the URB's pool block.
USBD_STATUS CollectRecords(PURB urb, std::vector<PUSBD_INTERFACE_INFORMATION>& records)
{
    auto* base = reinterpret_cast<uint8_t*>(urb);
    const size_t limit = AccessibleBytes(urb, urb->UrbHeader.Length);
    size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    while (offset < limit) {
        if (limit - offset < RecordHead) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
        if (record->Length < RecordHead || record->Length > limit - offset) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        records.push_back(record);
        offset += record->Length;
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS CheckRecord(const ParsedConfiguration& parsed, const USBD_INTERFACE_INFORMATION& record,
                        const InterfaceInfo** found)
{
    const InterfaceInfo* interface = parsed.Find(record.InterfaceNumber, record.AlternateSetting);
    if (interface == nullptr) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    const ULONG pipes = interface->descriptor.bNumEndpoints;
    if (interface->endpoints.size() < pipes) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    if (record.Length < GET_USBD_INTERFACE_SIZE(pipes)) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    for (ULONG i = 0; i < pipes; ++i) {
        if ((record.Pipes[i].PipeFlags & ~static_cast<ULONG>(USBD_PF_VALID_MASK)) != 0) {
            return USBD_STATUS_INAVLID_PIPE_FLAGS;
        }
    }
    *found = interface;
    return USBD_STATUS_SUCCESS;
}

}  // namespace

// Opaque, unique, never valid as a pointer: a driver that dereferences a
// handle faults at once, and a handle is never reused after it dies.
void* EmulatedDevice::NewHandle()
{
    const uint64_t value = 0xB5B0000000000000ull | (static_cast<uint64_t>(port_) << 32) | nextHandle_++;
    return reinterpret_cast<void*>(value);
}

void EmulatedDevice::Unconfigure(TransferList& cancelled)
{
    FailAllTransfers(USBD_STATUS_CANCELED, cancelled);
    pipes_.clear();
    configured_ = false;
    for (auto& [address, endpoint] : endpoints_) {
        endpoint.halted = false;
    }
}

void EmulatedDevice::OpenPipes(USBD_INTERFACE_INFORMATION& record, const InterfaceInfo& interface)
{
    const ULONG pipes = interface.descriptor.bNumEndpoints;
    record.Class = interface.descriptor.bInterfaceClass;
    record.SubClass = interface.descriptor.bInterfaceSubClass;
    record.Protocol = interface.descriptor.bInterfaceProtocol;
    record.Reserved = 0;
    record.NumberOfPipes = pipes;
    record.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    record.InterfaceHandle = NewHandle();
    for (ULONG i = 0; i < pipes; ++i) {
        USBD_PIPE_INFORMATION& pipe = record.Pipes[i];
        const EndpointInfo& endpoint = interface.endpoints[i];
        pipe.EndpointAddress = endpoint.address;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.Type());
        pipe.Interval = endpoint.interval;
        if ((pipe.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) == 0) {
            pipe.MaximumPacketSize = endpoint.MaximumPacketSize();
        }
        pipe.PipeHandle = NewHandle();
        pipes_[pipe.PipeHandle] = Pipe{endpoint.address, pipe.PipeType, pipe.MaximumPacketSize};
        if (endpoints_.count(endpoint.address) == 0) {
            Endpoint(endpoint.address).maxPacket = std::max<uint16_t>(1, endpoint.MaximumPacketSize());
        }
    }
}

// Checks everything first, so that a refused request leaves the previous
// configuration as it was. mutex_ held.
USBD_STATUS EmulatedDevice::ApplyConfiguration(PURB urb, TransferList& cancelled)
{
    auto* config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    auto parsed = ParseConfiguration(reinterpret_cast<const uint8_t*>(config), ReadableConfigurationBytes(config));
    if (!parsed) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    // An endpoint the USB rules forbid at the device's speed: the host
    // controller could not schedule it, so no pipe is opened for any.
    if (!EndpointRejection(*parsed, model_.speed).empty()) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const auto& own = model_.configDescriptor;
    const size_t valueAt = offsetof(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue);
    if (own.size() <= valueAt || own[valueAt] != parsed->header.bConfigurationValue) {
        return USBD_STATUS_SET_CONFIG_FAILED;  // the device stalls SET_CONFIGURATION
    }
    std::vector<PUSBD_INTERFACE_INFORMATION> records;
    USBD_STATUS status = CollectRecords(urb, records);
    if (!USBD_SUCCESS(status)) {
        return status;
    }
    if (records.size() != parsed->header.bNumInterfaces) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    std::vector<const InterfaceInfo*> interfaces(records.size());
    for (size_t k = 0; k < records.size(); ++k) {
        status = CheckRecord(*parsed, *records[k], &interfaces[k]);
        if (!USBD_SUCCESS(status)) {
            return status;
        }
    }
    Unconfigure(cancelled);
    for (size_t k = 0; k < records.size(); ++k) {
        OpenPipes(*records[k], *interfaces[k]);
    }
    urb->UrbSelectConfiguration.ConfigurationHandle = NewHandle();
    configured_ = true;
    return USBD_STATUS_SUCCESS;
}

// Recorded in a capture as the SET_CONFIGURATION control transfer it causes.
NTSTATUS EmulatedDevice::SelectConfiguration(PIRP irp, PURB urb)
{
    if (!UrbHolds(urb, offsetof(struct _URB_SELECT_CONFIGURATION, Interface))) {
        emu::verifier::Report("select-configuration URB shorter than its header", "URB_FUNCTION_SELECT_CONFIGURATION");
        return RejectUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (model_.defaultPipeSilent) {
        return LeaveUnanswered(irp, urb);
    }
    auto* config = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    const uint8_t setup[8] = {0x00, USB_REQUEST_SET_CONFIGURATION, ConfigurationValue(config), 0, 0, 0, 0, 0};
    CaptureControl(irp, URB_FUNCTION_SELECT_CONFIGURATION, false, setup, 0x00, USBD_STATUS_SUCCESS, nullptr, 0);
    TransferList cancelled;
    USBD_STATUS status;
    {
        Lock lock(mutex_);
        status = LinkStatus();
        if (USBD_SUCCESS(status) && config == nullptr) {
            Unconfigure(cancelled);
        } else if (USBD_SUCCESS(status)) {
            status = ApplyConfiguration(urb, cancelled);
        }
    }
    Record(URB_FUNCTION_SELECT_CONFIGURATION, 0, false, 0, 0, NtStatusFromUsbd(status), status);
    CaptureControl(irp, URB_FUNCTION_SELECT_CONFIGURATION, true, nullptr, 0x00, status, nullptr, 0);
    FinishAll(cancelled);
    return CompleteControlUrb(irp, urb, status, true);
}

}  // namespace emu::usb
