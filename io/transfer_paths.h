// The dispatch core of reads and writes and the bus steps behind it.
#pragma once

#include "io/transfer_context.h"

// Checks a read or write, maps the caller's buffer and either ends the
// request at once or sends its first bus request. PASSIVE_LEVEL. Returns the
// status of a request it completed, or STATUS_PENDING once the request went
// on to the bus or to the read queue.
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN IsRead);

// Starts the bus part of a transfer whose request is marked pending and
// holds its I/O reference. Returns the status of the first send, or
// STATUS_SUCCESS when nothing was sent (the request ended, or waits).
using TransferStart = NTSTATUS (*)(PIRP Irp, TransferContext* Transfer);

// Marks the request pending, takes its I/O reference, starts it and, if the
// first send failed at once for a reason a reset may cure, resets the pipe
// and then, if need be, the port. PASSIVE_LEVEL, under the dispatch's own
// I/O reference. Returns STATUS_PENDING.
NTSTATUS RunTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Transfer,
                     PUSBD_PIPE_INFORMATION Pipe, TransferStart Start);

// The write's first chunk: a TransferStart.
NTSTATUS StartBulkWrite(PIRP Irp, TransferContext* Transfer);
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The read's part of DispatchReadWrite, once the checks passed and the
// length is not 0. PASSIVE_LEVEL.
NTSTATUS DispatchBulkRead(PDEVICE_OBJECT DeviceObject, PIRP Irp, const TransferRequest* Request);
NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
