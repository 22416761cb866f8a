#include "io/complete_request.h"
#include "io/read_ownership.h"
#include "io/receive_buffer.h"
#include "io/transfer_paths.h"

// What became of the read that owned the buffer.
enum class OwnerStep {
    Waiting,   // its bus read is in flight; the completion carries on
    Finished,  // it left the buffer and is to be ended (EndLeftRead)
    Parked,    // it went back to the head of the queue
};

// A read that left the buffer, to be ended once the buffer has gone on.
struct LeftRead {
    PIRP Irp;
    TransferContext* Transfer;
    NTSTATUS Status;
};

// The read leaves the buffer and is to be ended with Status. Any IRQL up to
// DISPATCH_LEVEL.
static OwnerStep LeaveWith(PIRP Irp, TransferContext* Transfer, NTSTATUS Status, LeftRead* Left)
{
    LeaveReceiveBuffer(Transfer->Device);
    *Left = {Irp, Transfer, Status};
    return OwnerStep::Finished;
}

// A successful read has all its bytes; a failed one reports those already
// moved into its buffer, which happens only to reads longer than the room
// in the receive buffer. Its I/O reference is no longer its own (given back
// or passed on). Any IRQL up to DISPATCH_LEVEL, no spin lock held. The
// request goes back to the I/O manager.
static void EndLeftRead(const LeftRead& Left)
{
    TransferContext* Transfer = Left.Transfer;
    const ULONG_PTR Information = static_cast<ULONG_PTR>(NT_SUCCESS(Left.Status) ? Transfer->Remaining
                                                                                   : Transfer->Transferred);
    ExFreePool(Transfer);
    CompleteRequest(Left.Irp, Left.Status, Information);
}

// A bus read that failed: its bytes stay in the buffer. One that a drain
// aborted sends the read back to wait for the device; any other failure,
// the read's own cancellation included, ends it. Any IRQL up to
// DISPATCH_LEVEL.
static OwnerStep EndBusReadFailure(PIRP Irp, TransferContext* Transfer, NTSTATUS Status, ULONG Received,
                                   LeftRead* Left)
{
    KeepReceivedBytes(Transfer, Received);
    if (Status == STATUS_CANCELLED && !Irp->Cancel &&
        PassBusGate(Transfer->Device, Irp, Transfer) == BusGate::Parked) {
        return OwnerStep::Parked;
    }
    return LeaveWith(Irp, Transfer, Status, Left);
}

// Before a bus read: Waiting when it may go; otherwise the read went back
// to the queue or is to be ended. Any IRQL up to DISPATCH_LEVEL.
static OwnerStep PassBeforeBusRead(PIRP Irp, TransferContext* Transfer, LeftRead* Left)
{
    switch (PassBusGate(Transfer->Device, Irp, Transfer)) {
    case BusGate::Open:
        return OwnerStep::Waiting;
    case BusGate::Parked:
        return OwnerStep::Parked;
    case BusGate::Cancelled:
        return LeaveWith(Irp, Transfer, STATUS_CANCELLED, Left);
    case BusGate::Closed:
        break;
    }
    return LeaveWith(Irp, Transfer, STATUS_INVALID_DEVICE_STATE, Left);
}

// The owner after its last bus read ended with Status and Received bytes
// (STATUS_SUCCESS and 0 for a read that has just become the owner): served
// from the buffer, or its next bus read sent, again and again for as long
// as the bus completes them inside IofCallDriver. *FirstSend, when given,
// receives what the first send returned. Any IRQL up to DISPATCH_LEVEL.
static OwnerStep RunOwnedRead(PIRP Irp, TransferContext* Transfer, NTSTATUS Status, ULONG Received,
                              NTSTATUS* FirstSend, LeftRead* Left)
{
    for (;;) {
        if (ClassifyBusStatus(Status) != BusOutcome::Completed) {
            return EndBusReadFailure(Irp, Transfer, Status, Received, Left);
        }
        PUCHAR FillAt = nullptr;
        ULONG FillLength = 0;
        const ReadStep Step = GatherReceivedBytes(Transfer, Received, &FillAt, &FillLength);
        if (Step != ReadStep::Fill) {
            // Stuck: the caller's buffer is no usable system address, as if it could not be mapped.
            return LeaveWith(Irp, Transfer, Step == ReadStep::Satisfied ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, Left);
        }
        const OwnerStep Gate = PassBeforeBusRead(Irp, Transfer, Left);
        if (Gate != OwnerStep::Waiting) {
            return Gate;
        }
        BuildBulkTransferUrb(Transfer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, FillAt, FillLength);
        NTSTATUS Sent;
        const bool Kept = SendAndKeepNextStep(Irp, Transfer, ReadCompletion, &Sent);
        if (FirstSend) {
            *FirstSend = Sent;
            FirstSend = nullptr;
        }
        if (!Kept) {
            return OwnerStep::Waiting;
        }
        Status = Irp->IoStatus.Status;
        Received = Transfer->Urb.TransferBufferLength;
    }
}

// Runs the owner Irp with its Transfer, the owner holding an I/O
// reference, then hands the buffer from read to read in a loop, not by a
// recursion as deep as the queue, until a read waits for the bus or none is
// left. A read that leaves the buffer passes its reference to the next
// owner, or gives it back before it is completed, so that whoever sees it
// complete sees the count it left. Any IRQL up to DISPATCH_LEVEL, no spin
// lock held.
static void DriveReads(DeviceContext* Context, PIRP Irp, TransferContext* Transfer, NTSTATUS Status,
                       ULONG Received, NTSTATUS* FirstSend)
{
    for (;;) {
        LeftRead Left{nullptr, nullptr, STATUS_SUCCESS};
        if (RunOwnedRead(Irp, Transfer, Status, Received, FirstSend, &Left) == OwnerStep::Waiting) {
            return;
        }
        Irp = TakeNextOwner(Context, &Transfer);
        if (!Irp) {
            ReleaseIoReference(Context);
        }
        if (Left.Irp) {
            EndLeftRead(Left);
        }
        if (!Irp) {
            return;
        }
        Status = STATUS_SUCCESS;
        Received = 0;
        FirstSend = nullptr;
    }
}

// Any IRQL up to DISPATCH_LEVEL, no spin lock held.
void HandOnReceiveBuffer(DeviceContext* Context)
{
    TransferContext* Transfer = nullptr;
    PIRP Irp = TakeNextOwner(Context, &Transfer);
    if (Irp) {
        AcquireIoReference(Context);  // the new owner's
        DriveReads(Context, Irp, Transfer, STATUS_SUCCESS, 0, nullptr);
    }
}

// Called by the bus driver when a bus read ends, at up to DISPATCH_LEVEL.
// The transfer comes as Context: the request's DriverContext was the bus
// driver's while it held the request. The request is finished here (completed again from this routine), goes
// down again, waits in the queue, or goes back to its sender's loop when the
// bus completed it inside IofCallDriver; in every case the I/O manager's
// walk stops here.
NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* Transfer = static_cast<TransferContext*>(Context);
    if (!SenderTakesNextStep(Transfer)) {
        DriveReads(Transfer->Device, Irp, Transfer, Irp->IoStatus.Status, Transfer->Urb.TransferBufferLength,
                   nullptr);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A TransferStart for a read that already owns the buffer. A request
// cancelled while it had no cancel routine (between two bus reads, or just
// taken from the queue) is the bus driver's to end: it fails a cancelled
// request it is handed. PASSIVE_LEVEL.
static NTSTATUS StartOwnedRead(PIRP Irp, TransferContext* Transfer)
{
    NTSTATUS Sent = STATUS_SUCCESS;
    DriveReads(Transfer->Device, Irp, Transfer, STATUS_SUCCESS, 0, &Sent);
    return Sent;
}

// A TransferStart for a read that found the buffer owned by another. A
// queued read waits without an I/O reference. PASSIVE_LEVEL.
static NTSTATUS StartQueuedRead(PIRP Irp, TransferContext* Transfer)
{
    DeviceContext* Context = Transfer->Device;
    if (!QueueOrClaimRead(Context, Irp, Transfer)) {
        ReleaseIoReference(Context);
        return STATUS_SUCCESS;
    }
    return StartOwnedRead(Irp, Transfer);
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
        LeaveReceiveBuffer(Context);
        HandOnReceiveBuffer(Context);
        return CompleteRequest(Irp, STATUS_SUCCESS, Request->Length);
    }

    TransferContext* Transfer = AllocateTransferContext(Context, Request);
    if (!Transfer) {
        if (Owner) {
            LeaveReceiveBuffer(Context);
            HandOnReceiveBuffer(Context);
        }
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    return RunTransfer(DeviceObject, Irp, Transfer, Request->Pipe, Owner ? StartOwnedRead : StartQueuedRead);
}
