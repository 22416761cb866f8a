#include "io/transfer_paths.h"

// Builds the URB of the next chunk of at most WriteChunkLength bytes,
// straight from the caller's buffer. Any IRQL up to DISPATCH_LEVEL.
static void BuildNextChunk(TransferContext* Transfer)
{
    ULONG Chunk = static_cast<ULONG>(Transfer->Remaining);
    if (Chunk > WriteChunkLength) {
        Chunk = WriteChunkLength;
    }
    BuildBulkTransferUrb(Transfer, USBD_TRANSFER_DIRECTION_OUT, Transfer->Position, Chunk);
}

// A chunk has ended with the request's status: the write ends on a failure
// or after its last chunk, or sends the next chunk, again and again for as
// long as the bus completes them inside IofCallDriver. What is counted is
// the length the chunk asked for. Any IRQL up to DISPATCH_LEVEL. The
// request is the bus driver's or back with the I/O manager afterwards.
static void CarryOnWrite(PIRP Irp, TransferContext* Transfer)
{
    for (;;) {
        const NTSTATUS Status = Irp->IoStatus.Status;
        if (ClassifyBusStatus(Status) != BusOutcome::Completed) {
            EndTransfer(Irp, Transfer, Status, 0);
            return;
        }
        Transfer->Remaining -= Transfer->ChunkLength;
        Transfer->Transferred += Transfer->ChunkLength;
        Transfer->Position += Transfer->ChunkLength;
        if (Transfer->Remaining <= 0) {
            EndTransfer(Irp, Transfer, Status, static_cast<ULONG_PTR>(Transfer->Transferred));
            return;
        }
        BuildNextChunk(Transfer);
        NTSTATUS Sent;
        if (!SendAndKeepNextStep(Irp, Transfer, WriteCompletion, &Sent)) {
            return;
        }
    }
}

// The first chunk: a TransferStart. Any IRQL up to DISPATCH_LEVEL; the
// request is the bus driver's afterwards, or back with the I/O manager.
NTSTATUS StartBulkWrite(PIRP Irp, TransferContext* Transfer)
{
    BuildNextChunk(Transfer);
    NTSTATUS Sent;
    if (SendAndKeepNextStep(Irp, Transfer, WriteCompletion, &Sent)) {
        CarryOnWrite(Irp, Transfer);
    }
    return Sent;
}

// Called by the bus driver when a chunk ends, at up to DISPATCH_LEVEL. The
// request is finished here (completed again from this routine), carries the
// next chunk down, or goes back to its sender's loop when the bus completed
// it inside IofCallDriver; in every case the I/O manager's walk stops here.
// A request cancelled between two chunks is the bus driver's to end: it
// fails a cancelled request it is handed.
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* Transfer = static_cast<TransferContext*>(Context);
    if (!SenderTakesNextStep(Transfer)) {
        CarryOnWrite(Irp, Transfer);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
