// The device's receive buffer: bytes received from the device and not yet
// handed to a reader, oldest first. Only the read that owns the buffer (see
// read_ownership.h) takes bytes from it or has a bus read filling it, and
// ReceiveCount changes only under ReceiveLock.
#pragma once

#include "io/transfer_context.h"

// Copies Count bytes from the front of the buffer to Destination and moves
// the rest to the front, when the buffer holds that many; false and no
// change otherwise. Any IRQL up to DISPATCH_LEVEL; Destination must be
// resident.
bool TakeReceivedBytes(DeviceContext* Context, PVOID Destination, LONG Count);

enum class ReadStep {
    Satisfied,  // the read has all its bytes in its own buffer
    Fill,       // a bus read must bring more
    Stuck,      // the read's buffer cannot take bytes and the receive buffer has no room
};

// For the read that owns the buffer, after a bus read that failed: adds the
// Received bytes that the bus moved before the failure (a transfer cancelled
// half-way reports what it had received), so that they stay in the stream
// for later reads. A report of the whole length asked for is not taken: a
// bus driver that fails a request before it starts leaves the URB's length
// as it was sent. Any IRQL up to DISPATCH_LEVEL.
void KeepReceivedBytes(TransferContext* Transfer, ULONG Received);

// For the read that owns the buffer: adds the Received bytes of its last bus
// read, moves into the read's buffer all that it still needs if the buffer
// holds it, or everything buffered if a whole bus read no longer fits in the
// room left, and says where the next bus read goes (FillAt, FillLength) when one
// is needed. Any IRQL up to DISPATCH_LEVEL.
ReadStep GatherReceivedBytes(TransferContext* Transfer, ULONG Received, PUCHAR* FillAt, ULONG* FillLength);
