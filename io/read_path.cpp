#include "io/complete_request.h"
#include "io/read_ownership.h"
#include "io/receive_buffer.h"
#include "io/transfer_paths.h"

// A successful read has all its bytes; a failed one reports those already
// moved into its buffer, which happens only to reads longer than the room
// in the receive buffer. The buffer is handed on while the request's
// reference still keeps the device. Any IRQL up to DISPATCH_LEVEL, no spin
// lock held. The request goes back to the I/O manager; the device may be
// gone once this returns.
void EndOwnedRead(PIRP Irp, TransferContext* Transfer, NTSTATUS Status)
{
    const ULONG_PTR Information = static_cast<ULONG_PTR>(NT_SUCCESS(Status) ? Transfer->Remaining
                                                                              : Transfer->Transferred);
    HandOnReceiveBuffer(Transfer->Device);
    EndTransfer(Irp, Transfer, Status, Information);
}

// Any IRQL up to DISPATCH_LEVEL. The request is the bus driver's when this
// returns a send status, and back with the I/O manager otherwise. A request
// cancelled while it had no cancel routine (between two bus reads, or just
// taken from the queue) is the bus driver's to end: it fails a cancelled
// request it is handed.
NTSTATUS ContinueOwnedRead(PIRP Irp, TransferContext* Transfer, ULONG Received)
{
    PUCHAR FillAt = nullptr;
    ULONG FillLength = 0;
    switch (GatherReceivedBytes(Transfer, Received, &FillAt, &FillLength)) {
    case ReadStep::Satisfied:
        EndOwnedRead(Irp, Transfer, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    case ReadStep::Stuck:
        // The caller's buffer is no usable system address: as if it could not be mapped.
        EndOwnedRead(Irp, Transfer, STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_SUCCESS;
    case ReadStep::Fill:
        break;
    }
    BuildBulkTransferUrb(Transfer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, FillAt, FillLength);
    return SendTransferUrb(Irp, Transfer, ReadCompletion);
}

// Called by the bus driver when a bus read ends, at up to DISPATCH_LEVEL. A
// failed bus read ends the request; the bytes that it and earlier ones
// brought stay in the buffer for later reads. The request is finished here
// (completed again from this routine) or goes down again; either way the
// I/O manager's walk stops here.
NTSTATUS ReadCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* Transfer = static_cast<TransferContext*>(Context);
    const NTSTATUS Status = Irp->IoStatus.Status;
    const ULONG Received = Transfer->Urb.TransferBufferLength;
    if (ClassifyBusStatus(Status) == BusOutcome::Completed) {
        ContinueOwnedRead(Irp, Transfer, Received);
    } else {
        KeepReceivedBytes(Transfer, Received);
        EndOwnedRead(Irp, Transfer, Status);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A TransferStart for a read that already owns the buffer.
static NTSTATUS StartOwnedRead(PIRP Irp, TransferContext* Transfer)
{
    return ContinueOwnedRead(Irp, Transfer, 0);
}

// A TransferStart for a read that found the buffer owned by another.
static NTSTATUS StartQueuedRead(PIRP Irp, TransferContext* Transfer)
{
    if (!QueueOrClaimRead(Transfer->Device, Irp, Transfer)) {
        return STATUS_SUCCESS;
    }
    return ContinueOwnedRead(Irp, Transfer, 0);
}

// A read that owns the buffer and finds its bytes there completes at once,
// with no allocation, bus request or I/O reference. The buffer is handed on
// before the completion, while the caller's handle still keeps the device
// object alive. PASSIVE_LEVEL.
NTSTATUS DispatchBulkRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, const TransferRequest* Request)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    const bool Owner = ClaimReceiveBuffer(Context, Irp);
    if (Owner && TakeReceivedBytes(Context, Request->Buffer, static_cast<LONG>(Request->Length))) {
        HandOnReceiveBuffer(Context);
        return CompleteRequest(Irp, STATUS_SUCCESS, Request->Length);
    }

    TransferContext* Transfer = AllocateTransferContext(Context, Request);
    if (!Transfer) {
        if (Owner) {
            HandOnReceiveBuffer(Context);
        }
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    return RunTransfer(DeviceObject, Irp, Transfer, Request->Pipe, Owner ? StartOwnedRead : StartQueuedRead);
}
