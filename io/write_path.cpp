#include "io/transfer_paths.h"

// Sends the next chunk of at most WriteChunkLength bytes, straight from the
// caller's buffer. A TransferStart for the first chunk. Any IRQL up to
// DISPATCH_LEVEL; the request is the bus driver's afterwards.
NTSTATUS StartBulkWrite(PIRP Irp, TransferContext* Transfer)
{
    ULONG Chunk = static_cast<ULONG>(Transfer->Remaining);
    if (Chunk > WriteChunkLength) {
        Chunk = WriteChunkLength;
    }
    BuildBulkTransferUrb(Transfer, USBD_TRANSFER_DIRECTION_OUT, Transfer->Position, Chunk);
    return SendTransferUrb(Irp, Transfer, WriteCompletion);
}

// Called by the bus driver when a chunk ends, at up to DISPATCH_LEVEL. What
// is counted is the length the chunk asked for. The request is finished here
// (completed again from this routine) or carries the next chunk down; either
// way the I/O manager's walk stops here. A request cancelled between two
// chunks is the bus driver's to end: it fails a cancelled request it is
// handed.
NTSTATUS WriteCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* Transfer = static_cast<TransferContext*>(Context);
    const NTSTATUS Status = Irp->IoStatus.Status;
    if (ClassifyBusStatus(Status) != BusOutcome::Completed) {
        EndTransfer(Irp, Transfer, Status, 0);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    Transfer->Remaining -= Transfer->ChunkLength;
    Transfer->Transferred += Transfer->ChunkLength;
    Transfer->Position += Transfer->ChunkLength;
    if (Transfer->Remaining <= 0) {
        EndTransfer(Irp, Transfer, Status, static_cast<ULONG_PTR>(Transfer->Transferred));
    } else {
        StartBulkWrite(Irp, Transfer);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}
