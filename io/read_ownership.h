// One read at a time owns the receive buffer: it alone takes bytes from it
// and has a bus read filling it, so that bus reads never overlap and bytes
// reach readers once, in the order received. Reads that arrive while another
// owns the buffer wait in ReadQueue, in arrival order, cancel-safe. A read
// holds an I/O reference only while it owns the buffer: waiting reads hold
// up no drain. While bus reads are held (a drain has begun) or the device is
// not running, an owner that needs the bus goes back to the head of the
// queue instead, and waits there for the device to come back.
// ActiveRead, BusReadPipe, ReadQueue, BusReadsHeld and the queued requests' cancel
// routines change only under ReadQueueLock; no other lock of the driver is
// held with it.
#pragma once

#include "io/transfer_context.h"

// The transfer context of a read that went past the buffer, kept in
// DriverContext only while the read waits in the queue: while the bus
// driver holds the request, DriverContext is the bus driver's.
inline TransferContext* ReadTransferOf(PIRP Irp)
{
    return static_cast<TransferContext*>(Irp->Tail.Overlay.DriverContext[0]);
}

// Makes Irp the owner when no read owns the buffer or waits for it. Any
// IRQL up to DISPATCH_LEVEL.
bool ClaimReceiveBuffer(DeviceContext* Context, PIRP Irp);

// For a pending read that did not own the buffer: makes it the owner if the
// buffer has become free (true: the caller goes on with it), or queues it
// (false: the queue owns the request, and ends it if it is cancelled). Any
// IRQL up to DISPATCH_LEVEL.
bool QueueOrClaimRead(DeviceContext* Context, PIRP Irp, TransferContext* Transfer);

// The owner is done with the buffer (it is about to be finished). Any IRQL
// up to DISPATCH_LEVEL.
void LeaveReceiveBuffer(DeviceContext* Context);

// With no owner, bus reads not held and the device running: the first
// queued read that is not being cancelled becomes the owner; null
// otherwise. The new owner has no I/O reference yet; *Transfer receives its
// transfer context. Any IRQL up to DISPATCH_LEVEL.
PIRP TakeNextOwner(DeviceContext* Context, TransferContext** Transfer);

enum class BusGate {
    Open,       // the owner may send its bus read
    Parked,     // it went back to the head of the queue; its reference is the caller's to give back
    Cancelled,  // it was cancelled and must end with STATUS_CANCELLED
    Closed,     // the device is leaving: it must end
};

// Asked by the owner before it sends a bus read, and after a bus read that
// a drain aborted. Any IRQL up to DISPATCH_LEVEL.
BusGate PassBusGate(DeviceContext* Context, PIRP Irp, TransferContext* Transfer);

// Serves queued reads from the buffer, one after another, until one needs
// the bus (and sends it) or none is left. Any IRQL up to DISPATCH_LEVEL, no
// spin lock held; the caller keeps the device (an I/O reference or a
// request being handled).
void HandOnReceiveBuffer(DeviceContext* Context);

// Ends the queued reads made on FileObject with STATUS_CANCELLED, for the
// cleanup of that file object. PASSIVE_LEVEL.
void CancelQueuedReadsOfFile(DeviceContext* Context, PFILE_OBJECT FileObject);
