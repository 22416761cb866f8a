// IRP_MJ_INTERNAL_DEVICE_CONTROL at the emulated device's PDO: URBs and the
// two port requests. Every code and URB function the bus does not serve is a
// verifier finding and a failure, never a quiet success.
#include "emulator/usb/emulated_device.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/complete_request.h"
#include "emulator/usb/memory_bounds.h"
#include "emulator/usb/transfer_buffer.h"
#include "emulator/usb/usbd_status.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu::usb {
namespace {

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// The synchronous bus requests are documented for PASSIVE_LEVEL only.
void RequirePassive(const char* request)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        emu::verifier::Report(std::string(request) + " sent above PASSIVE_LEVEL", request,
                              "IRQL " + std::to_string(KeGetCurrentIrql()));
    }
}

}  // namespace

// Entry of every internal device-control request at the PDO; any IRQL up
// to DISPATCH_LEVEL. The request is completed or pended here.
NTSTATUS EmulatedDevice::DispatchInternalDeviceControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        CountBusRequest();
    }
    switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return GetPortStatus(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(irp);
    default:
        emu::verifier::Report("internal device-control code not served by the emulated USB bus",
                              "IRP_MJ_INTERNAL_DEVICE_CONTROL", Hex(code));
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS EmulatedDevice::SubmitUrb(PIRP irp, PURB urb)
{
    const bool readable = urb != nullptr && !OverrunsPoolBlock(urb, sizeof(struct _URB_HEADER));
    // A transfer counts itself in the section of the device lock it takes
    // anyway: every bus request of a transfer passes here.
    if (!readable || urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        CountBusRequest();
    }
    if (!readable) {
        emu::verifier::Report("IOCTL_INTERNAL_USB_SUBMIT_URB without a readable URB in Argument1",
                              "IOCTL_INTERNAL_USB_SUBMIT_URB");
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return PipeRequest(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return SubmitTransfer(irp, urb);
    default:
        emu::verifier::Report("URB function not served by the emulated USB bus", "IOCTL_INTERNAL_USB_SUBMIT_URB",
                              Hex(urb->UrbHeader.Function));
        return RejectUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS EmulatedDevice::RejectUrb(PIRP irp, PURB urb, USBD_STATUS status, uint8_t endpoint, bool in,
                                   uint32_t requested)
{
    const NTSTATUS irpStatus = NtStatusFromUsbd(status);
    Record(urb->UrbHeader.Function, endpoint, in, requested, 0, irpStatus, status);
    urb->UrbHeader.Status = status;
    return CompleteRequest(irp, irpStatus);
}

NTSTATUS EmulatedDevice::CompleteControlUrb(PIRP irp, PURB urb, USBD_STATUS status, bool mayDefer)
{
    const NTSTATUS irpStatus = NtStatusFromUsbd(status);
    urb->UrbHeader.Status = status;
    bool defer = false;
    {
        std::lock_guard lock(mutex_);
        defer = mayDefer && mode_ == CompletionMode::BusThread;
    }
    if (!defer) {
        return CompleteRequest(irp, irpStatus);
    }
    IoMarkIrpPending(irp);
    busThread_.Post([irp, irpStatus] { CompleteRequest(irp, irpStatus); });
    return STATUS_PENDING;
}

// A control request to a device that never answers on endpoint 0 waits,
// cancellable, until it is cancelled or the device leaves the bus; no pass
// of the pump ever moves it.
NTSTATUS EmulatedDevice::LeaveUnanswered(PIRP irp, PURB urb)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->function = urb->UrbHeader.Function;
    Lock lock(mutex_);
    transfer->id = nextTransferId_++;
    IoMarkIrpPending(irp);
    Transfer* waiting = transfer.get();
    pending_[irp] = std::move(transfer);
    IoSetCancelRoutine(irp, &EmulatedDevice::CancelTransferRoutine);
    std::unique_ptr<Transfer> cancelled;
    if (CancelRequested(irp) && TakeOwnership(*waiting)) {
        waiting->status = USBD_STATUS_CANCELED;
        cancelled = RemovePending(irp);
    }
    lock.unlock();
    if (cancelled != nullptr) {
        Finish(std::move(cancelled));
    }
    return STATUS_PENDING;
}

// Ends a control request left unanswered, with the status it was given
// (cancelled, or the device gone); a descriptor read moved no byte.
void EmulatedDevice::FinishUnanswered(std::unique_ptr<Transfer> transfer)
{
    const NTSTATUS status = NtStatusFromUsbd(transfer->status);
    transfer->urb->UrbHeader.Status = transfer->status;
    if (transfer->function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        transfer->urb->UrbControlDescriptorRequest.TransferBufferLength = 0;
    }
    Record(transfer->function, 0, false, 0, 0, status, transfer->status);
    CompleteRequest(transfer->irp, status);
}

// GET_DESCRIPTOR(device or configuration) as a control IN transfer: at
// most the bytes asked for, and TransferBufferLength says how many came.
NTSTATUS EmulatedDevice::GetDescriptor(PIRP irp, PURB urb)
{
    if (!UrbHolds(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))) {
        emu::verifier::Report("descriptor request URB shorter than its structure", "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE");
        return RejectUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (model_.defaultPipeSilent) {
        return LeaveUnanswered(irp, urb);
    }
    auto& request = urb->UrbControlDescriptorRequest;
    const ULONG requested = request.TransferBufferLength;
    uint8_t* buffer = nullptr;
    USBD_STATUS status = ResolveTransferBuffer(request.TransferBufferMDL, request.TransferBuffer, requested,
                                               "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE", &buffer);
    const uint8_t setup[8] = {0x80, USB_REQUEST_GET_DESCRIPTOR, request.Index, request.DescriptorType,
                              static_cast<uint8_t>(request.LanguageId), static_cast<uint8_t>(request.LanguageId >> 8),
                              static_cast<uint8_t>(requested), static_cast<uint8_t>(requested >> 8)};
    CaptureControl(irp, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, false, setup, 0x80, USBD_STATUS_SUCCESS, nullptr, 0);

    ULONG delivered = 0;
    if (USBD_SUCCESS(status)) {
        std::lock_guard lock(mutex_);
        const uint64_t read = ++descriptorReads_;
        auto failing = std::find(failingDescriptorReads_.begin(), failingDescriptorReads_.end(), read);
        const std::vector<uint8_t>* source = nullptr;
        if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
            source = &model_.deviceDescriptor;
        } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
            source = &model_.configDescriptor;
        }
        auto substitute = substituteDescriptorReads_.find(read);
        if (substitute != substituteDescriptorReads_.end()) {
            source = &substitute->second;
        }
        status = LinkStatus();
        if (USBD_SUCCESS(status) && (failing != failingDescriptorReads_.end() || source == nullptr)) {
            status = USBD_STATUS_STALL_PID;  // the device stalls the control pipe
        }
        if (failing != failingDescriptorReads_.end()) {
            failingDescriptorReads_.erase(failing);
        }
        if (USBD_SUCCESS(status)) {
            delivered = static_cast<ULONG>(std::min<size_t>(requested, source->size()));
            if (delivered != 0) {
                std::memcpy(buffer, source->data(), delivered);
            }
        }
        if (substitute != substituteDescriptorReads_.end()) {
            substituteDescriptorReads_.erase(substitute);
        }
    }
    request.TransferBufferLength = delivered;
    Record(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, true, requested, delivered, NtStatusFromUsbd(status), status);
    CaptureControl(irp, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, true, nullptr, 0x80, status, buffer, delivered);
    return CompleteControlUrb(irp, urb, status, true);
}

// ABORT_PIPE ends every transfer pending on the pipe as cancelled (the
// abort itself may complete first: with the bus thread the cancelled
// transfers complete there). RESET_PIPE clears the halt on both sides and
// lets waiting transfers move again.
NTSTATUS EmulatedDevice::PipeRequest(PIRP irp, PURB urb)
{
    const uint16_t function = urb->UrbHeader.Function;
    const bool abort = function == URB_FUNCTION_ABORT_PIPE;
    const char* name = abort ? "URB_FUNCTION_ABORT_PIPE" : "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL";
    if (!UrbHolds(urb, sizeof(struct _URB_PIPE_REQUEST))) {
        emu::verifier::Report("pipe request URB shorter than its structure", name);
        return RejectUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    if (!abort) {
        RequirePassive(name);
    }
    if (!abort && model_.defaultPipeSilent) {
        return LeaveUnanswered(irp, urb);  // the halt is cleared by a request on endpoint 0
    }
    TransferList cancelled;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint8_t endpoint = 0;
    bool deferCancelled = false;
    {
        Lock lock(mutex_);
        auto pipe = pipes_.find(urb->UrbPipeRequest.PipeHandle);
        if (pipe == pipes_.end()) {
            status = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (abort) {
            endpoint = pipe->second.endpoint;
            ++aborts_;
            std::vector<PIRP> owned;
            for (auto& [pending, transfer] : pending_) {
                if (transfer->endpoint == endpoint && TakeOwnership(*transfer)) {
                    owned.push_back(pending);
                }
            }
            for (PIRP pending : owned) {
                cancelled.push_back(RemovePending(pending));
                cancelled.back()->status = USBD_STATUS_CANCELED;
            }
            deferCancelled = mode_ == CompletionMode::BusThread;
        } else {
            endpoint = pipe->second.endpoint;
            ++pipeResets_;
            status = LinkStatus();
            if (USBD_SUCCESS(status)) {
                Endpoint(endpoint).halted = false;
            }
        }
    }
    CaptureRecord record;
    record.irpId = reinterpret_cast<uint64_t>(irp);
    record.function = function;
    record.endpoint = endpoint;
    record.transfer = CaptureTransfer::IrpInfo;
    capture_.Write(record);
    record.completion = true;
    record.status = status;
    capture_.Write(record);
    Record(function, endpoint, (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0, 0, 0, NtStatusFromUsbd(status), status);

    if (deferCancelled) {
        FinishAllDeferred(std::move(cancelled));
    } else {
        FinishAll(cancelled);
    }
    if (!abort) {
        RequestPump();
    }
    return CompleteControlUrb(irp, urb, status, false);
}

// The port's two bits: connected while the device is on the bus, enabled
// while connected and not disabled. PASSIVE_LEVEL.
NTSTATUS EmulatedDevice::GetPortStatus(PIRP irp)
{
    RequirePassive("IOCTL_INTERNAL_USB_GET_PORT_STATUS");
    auto* portStatus = static_cast<ULONG*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (portStatus == nullptr || OverrunsPoolBlock(portStatus, sizeof *portStatus)) {
        emu::verifier::Report("IOCTL_INTERNAL_USB_GET_PORT_STATUS without a port status word in Argument1",
                              "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    ULONG bits = 0;
    {
        std::lock_guard lock(mutex_);
        if (connected_) {
            bits |= USBD_PORT_CONNECTED;
            bits |= portEnabled_ ? USBD_PORT_ENABLED : 0;
        }
    }
    *portStatus = bits;
    return CompleteRequest(irp, STATUS_SUCCESS);
}

// Resets the port: it is enabled again, the device keeps its address and
// configuration, every endpoint halt is cleared, and transfers that were
// still pending are ended as cancelled. PASSIVE_LEVEL.
NTSTATUS EmulatedDevice::ResetPort(PIRP irp)
{
    RequirePassive("IOCTL_INTERNAL_USB_RESET_PORT");
    TransferList cancelled;
    NTSTATUS status = STATUS_SUCCESS;
    {
        Lock lock(mutex_);
        if (!connected_) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            ++portResets_;
            portEnabled_ = true;
            for (auto& [address, endpoint] : endpoints_) {
                endpoint.halted = false;
            }
            FailAllTransfers(USBD_STATUS_CANCELED, cancelled);
        }
    }
    FinishAll(cancelled);
    RequestPump();
    return CompleteRequest(irp, status);
}

}  // namespace emu::usb
