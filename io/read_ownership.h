// One read at a time owns the receive buffer: it alone takes bytes from it
// and has a bus read filling it, so that bus reads never overlap and bytes
// reach readers once, in the order received. Reads that arrive while another
// owns the buffer wait in ReadQueue, in arrival order, cancel-safe.
// ActiveRead, ReadQueue and the queued requests' cancel routines change only
// under ReadQueueLock; no other lock of the driver is held with it.
#pragma once

#include "io/transfer_context.h"

// Makes Irp the owner when no read owns the buffer. Any IRQL up to
// DISPATCH_LEVEL.
bool ClaimReceiveBuffer(DeviceContext* Context, PIRP Irp);

// For a pending read that did not own the buffer: makes it the owner if the
// buffer has become free (true: the caller goes on with it), or queues it
// (false: the queue owns the request, and ends it if it is cancelled). Any
// IRQL up to DISPATCH_LEVEL.
bool QueueOrClaimRead(DeviceContext* Context, PIRP Irp, TransferContext* Transfer);

// The owner is done: the first queued read that is not being cancelled
// becomes the owner and is served or sent to the bus; with none, the buffer
// has no owner. While the device is not running a queued read is ended with
// STATUS_INVALID_DEVICE_STATE instead. Any IRQL up to DISPATCH_LEVEL, no
// spin lock held.
void HandOnReceiveBuffer(DeviceContext* Context);

// Ends the queued reads made on FileObject with STATUS_CANCELLED, for the
// cleanup of that file object. PASSIVE_LEVEL.
void CancelQueuedReadsOfFile(DeviceContext* Context, PFILE_OBJECT FileObject);
