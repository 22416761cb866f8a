// URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: checked at once (pipe handle,
// direction, buffer, endpoint and port state), then completed as the
// device's completion mode says: inside IofCallDriver, on the bus thread,
// or when the test releases it.
#include "emulator/usb/emulated_device.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/complete_request.h"
#include "emulator/usb/transfer_buffer.h"
#include "emulator/usb/usbd_status.h"

namespace emu::usb {
namespace {

constexpr const char* Routine = "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER";

// What a bulk URB may not carry: a link to another URB, or a buffer the
// bus cannot use. Reported to the verifier; returns the URB status.
USBD_STATUS CheckRequest(const struct _URB_BULK_OR_INTERRUPT_TRANSFER& request)
{
    if (request.UrbLink != nullptr) {
        emu::verifier::Report("linked URBs are not supported", Routine);
        return USBD_STATUS_INVALID_PARAMETER;
    }
    return USBD_STATUS_SUCCESS;
}

}  // namespace

// Any IRQL up to DISPATCH_LEVEL. On STATUS_PENDING the request belongs to
// the bus until it completes it (or the cancel routine does).
NTSTATUS EmulatedDevice::SubmitTransfer(PIRP irp, PURB urb)
{
    if (!UrbHolds(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))) {
        CountBusRequest();
        emu::verifier::Report("bulk transfer URB shorter than its structure", Routine);
        return RejectUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    auto& request = urb->UrbBulkOrInterruptTransfer;
    USBD_STATUS status = CheckRequest(request);
    uint8_t* buffer = nullptr;
    if (USBD_SUCCESS(status)) {
        status = ResolveTransferBuffer(request.TransferBufferMDL, request.TransferBuffer, request.TransferBufferLength,
                                       Routine, &buffer);
    }
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;

    Lock lock(mutex_);
    ++busRequests_;
    auto pipe = pipes_.find(request.PipeHandle);
    if (USBD_SUCCESS(status) && pipe == pipes_.end()) {
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    if (USBD_SUCCESS(status) && pipe->second.type != UsbdPipeTypeBulk && pipe->second.type != UsbdPipeTypeInterrupt) {
        emu::verifier::Report("bulk or interrupt transfer on a pipe of another type", Routine);
        status = USBD_STATUS_INVALID_PARAMETER;
    }
    if (USBD_SUCCESS(status) && in != ((pipe->second.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0)) {
        emu::verifier::Report("transfer direction does not match the endpoint", Routine);
        status = USBD_STATUS_INVALID_PARAMETER;
    }
    if (USBD_SUCCESS(status)) {
        status = LinkStatus();
    }
    if (USBD_SUCCESS(status) && Endpoint(pipe->second.endpoint).halted) {
        status = USBD_STATUS_ENDPOINT_HALTED;
    }
    if (!USBD_SUCCESS(status)) {
        const uint8_t endpoint = pipe != pipes_.end() ? pipe->second.endpoint : 0;
        lock.unlock();
        return RejectUrb(irp, urb, status, endpoint, in, request.TransferBufferLength);
    }

    EndpointState& endpoint = Endpoint(pipe->second.endpoint);
    auto transfer = std::make_unique<Transfer>();
    transfer->id = nextTransferId_++;
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->endpoint = endpoint.address;
    transfer->captureType =
        pipe->second.type == UsbdPipeTypeInterrupt ? CaptureTransfer::Interrupt : CaptureTransfer::Bulk;
    transfer->data = TransferData{buffer, request.TransferBufferLength, 0,
                                  (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0, endpoint.CountSubmission()};
    if (model_.busTiming) {
        const auto now = std::chrono::steady_clock::now();
        transfer->arrival = ArrivalNow(now);
        timeline_.Reach(transfer->arrival, now);
    }

    CaptureRecord record;
    record.irpId = reinterpret_cast<uint64_t>(irp);
    record.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    record.endpoint = endpoint.address;
    record.transfer = transfer->captureType;
    record.data = in ? nullptr : buffer;
    record.dataLength = in ? 0 : request.TransferBufferLength;
    capture_.Write(record);

    if (mode_ == CompletionMode::Synchronous && queues_[endpoint.address].empty()) {
        StepResult step = Advance(endpoint, LoopbackPeer(endpoint), transfer->data, model_.shortTransferIsError);
        if (step.done) {
            transfer->status = step.status;
            const NTSTATUS irpStatus = NtStatusFromUsbd(step.status);
            // The peer of a loopback may have waiting reads now; a device
            // told to leave leaves from the pass.
            const bool othersWaiting = AnyQueued(lock) || endpoint.leaving;
            lock.unlock();
            Finish(std::move(transfer));
            if (othersWaiting) {
                RequestPump();
            }
            return irpStatus;
        }
    }

    // The transfer waits: pending before anyone else can see it, then
    // cancellable. A request cancelled before the cancel routine was set
    // is ended here.
    IoMarkIrpPending(irp);
    Transfer* waiting = transfer.get();
    waiting->held = mode_ == CompletionMode::Held;
    pending_[irp] = std::move(transfer);
    if (!waiting->held) {
        queues_[waiting->endpoint].push_back(waiting);
    }
    IoSetCancelRoutine(irp, &EmulatedDevice::CancelTransferRoutine);
    std::unique_ptr<Transfer> cancelled;
    if (CancelRequested(irp) && TakeOwnership(*waiting)) {
        waiting->status = USBD_STATUS_CANCELED;
        cancelled = RemovePending(irp);
    }
    const bool held = waiting->held;
    lock.unlock();

    if (cancelled != nullptr) {
        Finish(std::move(cancelled));
    } else if (held) {
        heldChanged_.notify_all();
    } else {
        RequestPump();
    }
    return STATUS_PENDING;
}

}  // namespace emu::usb
