#include "io/read_queue.h"

#include "io/complete_request.h"
#include "io/read_ownership.h"
#include "io/transfer_paths.h"

static PIRP QueuedIrp(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

// A queued read holds no I/O reference: ending it frees its context and
// completes it, with the bytes it already holds (only a read longer than
// the room in the receive buffer has any). Any IRQL up to DISPATCH_LEVEL,
// no spin lock held.
static void EndQueuedRead(PIRP Irp, NTSTATUS Status)
{
    TransferContext* Transfer = ReadTransferOf(Irp);
    const ULONG_PTR Information = static_cast<ULONG_PTR>(Transfer->Transferred);
    ExFreePool(Transfer);
    CompleteRequest(Irp, Status, Information);
}

// Called from AddDevice. PASSIVE_LEVEL.
void InitializeReadQueue(DeviceContext* Context)
{
    InitializeListHead(&Context->ReadQueue);
    KeInitializeSpinLock(&Context->ReadQueueLock);
    Context->ActiveRead = nullptr;
    Context->BusReadPipe = nullptr;
    Context->BusReadsHeld = 0;
}

// Runs with the system cancel spin lock held, which it gives back first. The
// request is still in the queue: whoever takes a request out clears its
// cancel routine first and leaves alone those whose routine was already
// taken. The device object outlives the request, whose file object refers
// to it. DISPATCH_LEVEL. The request goes back to the I/O manager.
static void NTAPI CancelQueuedRead(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    DeviceContext* Context = ReadTransferOf(Irp)->Device;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    EndQueuedRead(Irp, STATUS_CANCELLED);
}

// A new owner (or none) has sent no bus read yet. Caller holds ReadQueueLock.
static void SetOwner(DeviceContext* Context, PIRP Irp)
{
    Context->ActiveRead = Irp;
    Context->BusReadPipe = nullptr;
}

// Caller holds ReadQueueLock.
static bool BufferIsFree(const DeviceContext* Context)
{
    return Context->ActiveRead == nullptr && IsListEmpty(&Context->ReadQueue);
}

// Any IRQL up to DISPATCH_LEVEL.
bool ClaimReceiveBuffer(DeviceContext* Context, PIRP Irp)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    const bool Claimed = BufferIsFree(Context);
    if (Claimed) {
        SetOwner(Context, Irp);
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    return Claimed;
}

// Sets the cancel routine of a request about to be queued; false when the
// request was cancelled before and is the caller's to end. One whose
// routine IoCancelIrp has already taken is queued all the same, for the
// routine to take out. Caller holds ReadQueueLock.
static bool ArmCancel(PIRP Irp)
{
    (void)IoSetCancelRoutine(Irp, CancelQueuedRead);
    return !(Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr);
}

// For a read that goes back to the queue after the bus driver had it: its
// transfer goes back into DriverContext before its cancel routine is set.
// Caller holds ReadQueueLock.
static bool QueueAgain(PIRP Irp, TransferContext* Transfer)
{
    Irp->Tail.Overlay.DriverContext[0] = Transfer;
    return ArmCancel(Irp);
}

// The test for an owner and the insertion are one step under ReadQueueLock,
// so an owner that finishes meanwhile either sees this request in the queue
// or has already left the buffer free for it. Any IRQL up to
// DISPATCH_LEVEL.
bool QueueOrClaimRead(DeviceContext* Context, PIRP Irp, TransferContext* Transfer)
{
    Irp->Tail.Overlay.DriverContext[0] = Transfer;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    if (BufferIsFree(Context)) {
        SetOwner(Context, Irp);
        KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
        return true;
    }
    const bool Armed = ArmCancel(Irp);
    if (Armed) {
        InsertTailList(&Context->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);

    if (!Armed) {
        EndQueuedRead(Irp, STATUS_CANCELLED);
    }
    return false;
}

// Any IRQL up to DISPATCH_LEVEL.
void LeaveReceiveBuffer(DeviceContext* Context)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    SetOwner(Context, nullptr);
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
}

// Caller holds ReadQueueLock.
static bool BusReadsMayStart(DeviceContext* Context)
{
    return Context->BusReadsHeld == 0 && CurrentPnpState(Context) == DeviceRunning;
}

// The transfer is read from the request while the request is still in the
// queue, the one place its DriverContext is the driver's. Any IRQL up to
// DISPATCH_LEVEL.
PIRP TakeNextOwner(DeviceContext* Context, TransferContext** Transfer)
{
    PIRP Next = nullptr;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    if (Context->ActiveRead == nullptr && BusReadsMayStart(Context)) {
        for (PLIST_ENTRY Entry = Context->ReadQueue.Flink; Entry != &Context->ReadQueue; Entry = Entry->Flink) {
            PIRP Irp = QueuedIrp(Entry);
            if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {
                *Transfer = ReadTransferOf(Irp);
                RemoveEntryList(Entry);
                Next = Irp;
                break;
            }
        }
        SetOwner(Context, Next);
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    return Next;
}

// The state is read under the lock, after the transition that ends queued
// reads has written it: a read parked here is either seen by that ending or
// sees the state and is not parked. Any IRQL up to DISPATCH_LEVEL.
BusGate PassBusGate(DeviceContext* Context, PIRP Irp, TransferContext* Transfer)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    const DEVICE_PNP_STATE State = CurrentPnpState(Context);
    BusGate Gate = BusGate::Parked;
    if (BusReadsMayStart(Context)) {
        Gate = BusGate::Open;
        Context->BusReadPipe = Transfer->PipeHandle;
    } else if (State != DeviceRunning && State != DeviceStopPending && State != DeviceRemovePending) {
        Gate = BusGate::Closed;
    } else if (!QueueAgain(Irp, Transfer)) {
        Gate = BusGate::Cancelled;
    } else {
        InsertHeadList(&Context->ReadQueue, &Irp->Tail.Overlay.ListEntry);
        SetOwner(Context, nullptr);
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    return Gate;
}

// Any IRQL up to DISPATCH_LEVEL.
USBD_PIPE_HANDLE HoldBusReads(DeviceContext* Context)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    Context->BusReadsHeld = 1;
    const USBD_PIPE_HANDLE Pipe = Context->BusReadPipe;
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    return Pipe;
}

// Any IRQL up to DISPATCH_LEVEL, no spin lock held.
void ReleaseHeldReads(DeviceContext* Context)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    Context->BusReadsHeld = 0;
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    HandOnReceiveBuffer(Context);
}

// Takes out of the queue the requests made on FileObject (every request when
// FileObject is null) whose cancel routine can still be cleared, and ends
// them with Status outside the lock. Any IRQL up to DISPATCH_LEVEL, with no
// spin lock held.
static void DrainReadQueue(DeviceContext* Context, PFILE_OBJECT FileObject, NTSTATUS Status)
{
    LIST_ENTRY Drained;
    InitializeListHead(&Drained);

    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    PLIST_ENTRY Entry = Context->ReadQueue.Flink;
    while (Entry != &Context->ReadQueue) {
        PLIST_ENTRY Following = Entry->Flink;
        PIRP Irp = QueuedIrp(Entry);
        const bool Matches = !FileObject || IoGetCurrentIrpStackLocation(Irp)->FileObject == FileObject;
        if (Matches && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            RemoveEntryList(Entry);
            InsertTailList(&Drained, Entry);
        }
        Entry = Following;
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);

    while (!IsListEmpty(&Drained)) {
        EndQueuedRead(QueuedIrp(RemoveHeadList(&Drained)), Status);
    }
}

// Any IRQL up to DISPATCH_LEVEL, with no spin lock held.
void CompleteQueuedReads(DeviceContext* Context, NTSTATUS Status)
{
    DrainReadQueue(Context, nullptr, Status);
}

// PASSIVE_LEVEL.
void CancelQueuedReadsOfFile(DeviceContext* Context, PFILE_OBJECT FileObject)
{
    if (FileObject) {
        DrainReadQueue(Context, FileObject, STATUS_CANCELLED);
    }
}
