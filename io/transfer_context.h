// One bulk read or write on its way through the bus, and the steps that the
// read and write paths share.
#pragma once

#include "driver/device_context.h"

// What the checks of a read or write found: the handle's pipe in the
// configuration in force, the length of the transfer and the system-space
// address of the caller's buffer.
struct TransferRequest {
    PUSBD_PIPE_INFORMATION Pipe;
    ULONG Length;
    PUCHAR Buffer;
};

// Allocated when a read or write goes to the bus, owned by its request while
// it is in flight, freed when the request is finished. The same URB carries
// every bus request of the transfer.
struct TransferContext {
    _URB_BULK_OR_INTERRUPT_TRANSFER Urb;  // first: the context's address is the URB's
    LONG Remaining;           // write: bytes still to send; read: the request's length
    LONG Transferred;         // write: bytes sent; read: bytes already in the caller's buffer
    LONG ChunkLength;         // length asked for by the bus request in flight
    DeviceContext* Device;
    USBD_PIPE_HANDLE PipeHandle;
    PUCHAR Position;          // write: next byte to send; read: start of the caller's buffer
    USHORT MaximumPacketSize; // of the pipe: a bus read never asks for a part of a packet
    // Who takes the step after a bus request: 0 while the sender is still
    // inside IofCallDriver and its completion has not run; whichever of the
    // two sets it to 1 second takes the step. Changed by interlocked
    // exchanges only.
    LONG NextStepTaken;
};

// How a bus request ended, for the transfer that sent it.
enum class BusOutcome {
    Completed,  // success: the transfer may go on
    Ended,      // cancelled, or the device is gone: nothing a reset could cure
    Failed,     // any other failure: after a first send, worth a pipe reset
};

BusOutcome ClassifyBusStatus(NTSTATUS Status);

// Allocates and fills the context of a request that passed its checks; null
// when the pool is exhausted. Any IRQL up to DISPATCH_LEVEL.
TransferContext* AllocateTransferContext(DeviceContext* Context, const TransferRequest* Request);

// Builds the context's URB for one bus request of Length bytes at Buffer,
// in the direction given by TransferFlags. Any IRQL up to DISPATCH_LEVEL.
void BuildBulkTransferUrb(TransferContext* Transfer, ULONG TransferFlags, PVOID Buffer, ULONG Length);

// Hands the request to the bus driver with the context's URB; Routine is
// called when the bus driver completes it, whatever its status. Any IRQL up
// to DISPATCH_LEVEL. Returns what IofCallDriver returned; the request is
// the bus driver's until Routine runs.
NTSTATUS SendTransferUrb(PIRP Irp, TransferContext* Transfer, PIO_COMPLETION_ROUTINE Routine);

// SendTransferUrb for a sender that loops: true when Routine ran inside the
// call and left the next step of the transfer to the sender (the request is
// the sender's again, its status and URB as the bus left them); false when
// Routine runs, or has run, after the call and takes the step itself.
// *Sent receives what IofCallDriver returned. A bus that completes inside
// IofCallDriver thus never nests one completion per bus request. Any IRQL
// up to DISPATCH_LEVEL.
bool SendAndKeepNextStep(PIRP Irp, TransferContext* Transfer, PIO_COMPLETION_ROUTINE Routine, NTSTATUS* Sent);

// For the completion routine of a request sent by SendAndKeepNextStep: true
// when the sender is still inside IofCallDriver and takes the next step
// itself, so the routine only returns STATUS_MORE_PROCESSING_REQUIRED. Up
// to DISPATCH_LEVEL.
bool SenderTakesNextStep(TransferContext* Transfer);

// Frees the context, gives the request's I/O reference back and completes
// the request with Status and Information. The reference goes first, so that
// whoever sees the request complete sees the count it left. Any IRQL up to
// DISPATCH_LEVEL, with no spin lock held. The request goes back to the I/O
// manager, and the device may be gone once this returns.
void EndTransfer(PIRP Irp, TransferContext* Transfer, NTSTATUS Status, ULONG_PTR Information);
