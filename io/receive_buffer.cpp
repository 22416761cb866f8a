#include "io/receive_buffer.h"

// Caller holds ReceiveLock.
static bool MoveReceivedBytes(DeviceContext* Context, PUCHAR Destination, LONG Count)
{
    if (Count > Context->ReceiveCount || !MmIsAddressValid(Destination)) {
        return false;
    }
    RtlCopyMemory(Destination, Context->ReceiveBuffer, Count);
    Context->ReceiveCount -= Count;
    RtlMoveMemory(Context->ReceiveBuffer, Context->ReceiveBuffer + Count, Context->ReceiveCount);
    return true;
}

// How much the next bus read may ask for: BusReadLength while that much is
// free, else the free space in whole packets, so that the device cannot send
// more than the buffer holds. Caller holds ReceiveLock.
static ULONG BusReadRoom(const DeviceContext* Context, USHORT MaximumPacketSize)
{
    const ULONG Free = ReceiveBufferLength - static_cast<ULONG>(Context->ReceiveCount);
    if (Free >= BusReadLength) {
        return BusReadLength;
    }
    const ULONG Packet = MaximumPacketSize ? MaximumPacketSize : 1;
    return Free - Free % Packet;
}

// The count, the copy and the move are one step with respect to every other
// take. Any IRQL up to DISPATCH_LEVEL.
bool TakeReceivedBytes(DeviceContext* Context, PVOID Destination, LONG Count)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReceiveLock);
    const bool Taken = MoveReceivedBytes(Context, static_cast<PUCHAR>(Destination), Count);
    KeReleaseSpinLock(&Context->ReceiveLock, OldIrql);
    return Taken;
}

// The bus never reports more than it was asked for; should it, the count is
// held to what the bus read asked for, which lies inside the buffer. Caller
// holds ReceiveLock.
static void AddReceivedBytes(DeviceContext* Context, const TransferContext* Transfer, ULONG Received)
{
    if (Received > static_cast<ULONG>(Transfer->ChunkLength)) {
        Received = static_cast<ULONG>(Transfer->ChunkLength);
    }
    Context->ReceiveCount += static_cast<LONG>(Received);
}

// Any IRQL up to DISPATCH_LEVEL.
void KeepReceivedBytes(TransferContext* Transfer, ULONG Received)
{
    if (Received >= static_cast<ULONG>(Transfer->ChunkLength)) {
        return;
    }
    DeviceContext* Context = Transfer->Device;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReceiveLock);
    AddReceivedBytes(Context, Transfer, Received);
    KeReleaseSpinLock(&Context->ReceiveLock, OldIrql);
}

// Any IRQL up to DISPATCH_LEVEL.
ReadStep GatherReceivedBytes(TransferContext* Transfer, ULONG Received, PUCHAR* FillAt, ULONG* FillLength)
{
    DeviceContext* Context = Transfer->Device;
    PUCHAR Destination = Transfer->Position + Transfer->Transferred;
    const LONG Needed = Transfer->Remaining - Transfer->Transferred;

    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReceiveLock);
    AddReceivedBytes(Context, Transfer, Received);
    ReadStep Step = ReadStep::Satisfied;
    if (MoveReceivedBytes(Context, Destination, Needed)) {
        Transfer->Transferred = Transfer->Remaining;
    } else {
        // A whole bus read no longer fits: the read takes what is buffered
        // first, so that the next bus read is whole. A shorter one would end
        // on the room's edge, and the rest of the device's transfer (at
        // full speed its zero-length packet) would cost a bus read of its own.
        const LONG Buffered = Context->ReceiveCount;
        if (BusReadRoom(Context, Transfer->MaximumPacketSize) < BusReadLength &&
            MoveReceivedBytes(Context, Destination, Buffered)) {
            Transfer->Transferred += Buffered;
        }
        *FillAt = Context->ReceiveBuffer + Context->ReceiveCount;
        *FillLength = BusReadRoom(Context, Transfer->MaximumPacketSize);
        Step = *FillLength ? ReadStep::Fill : ReadStep::Stuck;
    }
    KeReleaseSpinLock(&Context->ReceiveLock, OldIrql);
    return Step;
}
