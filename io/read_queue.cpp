#include "io/read_queue.h"

#include "io/read_ownership.h"
#include "io/transfer_paths.h"

// A queued request keeps its transfer context here while it waits.
static TransferContext* QueuedTransfer(PIRP Irp)
{
    return static_cast<TransferContext*>(Irp->Tail.Overlay.DriverContext[0]);
}

static PIRP QueuedIrp(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

// Called from AddDevice. PASSIVE_LEVEL.
void InitializeReadQueue(DeviceContext* Context)
{
    InitializeListHead(&Context->ReadQueue);
    KeInitializeSpinLock(&Context->ReadQueueLock);
    Context->ActiveRead = nullptr;
}

// Runs with the system cancel spin lock held, which it gives back first. The
// request is still in the queue: whoever takes a request out clears its
// cancel routine first and leaves alone those whose routine was already
// taken. DISPATCH_LEVEL. The request goes back to the I/O manager.
static void CancelQueuedRead(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    DeviceContext* Context = QueuedTransfer(Irp)->Device;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    EndTransfer(Irp, QueuedTransfer(Irp), STATUS_CANCELLED, 0);
}

// Any IRQL up to DISPATCH_LEVEL.
bool ClaimReceiveBuffer(DeviceContext* Context, PIRP Irp)
{
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    const bool Claimed = Context->ActiveRead == nullptr;
    if (Claimed) {
        Context->ActiveRead = Irp;
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    return Claimed;
}

// The test for an owner and the insertion are one step under ReadQueueLock,
// so an owner that finishes meanwhile either sees this request in the queue
// or has already left the buffer free for it. A request cancelled before its
// cancel routine was set is ended here; one whose routine IoCancelIrp has
// already taken is queued all the same, for the routine to take out. Any
// IRQL up to DISPATCH_LEVEL.
bool QueueOrClaimRead(DeviceContext* Context, PIRP Irp, TransferContext* Transfer)
{
    Irp->Tail.Overlay.DriverContext[0] = Transfer;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    if (Context->ActiveRead == nullptr) {
        Context->ActiveRead = Irp;
        KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
        return true;
    }
    (void)IoSetCancelRoutine(Irp, CancelQueuedRead);
    const bool CancelledAlready = Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr;
    if (!CancelledAlready) {
        InsertTailList(&Context->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);

    if (CancelledAlready) {
        EndTransfer(Irp, Transfer, STATUS_CANCELLED, 0);
    }
    return false;
}

// Takes the first queued request that is not being cancelled and makes it
// the owner, or leaves the buffer without owner. Any IRQL up to
// DISPATCH_LEVEL.
static PIRP TakeNextOwner(DeviceContext* Context)
{
    PIRP Next = nullptr;
    const KIRQL OldIrql = KeAcquireSpinLockRaiseToDpc(&Context->ReadQueueLock);
    for (PLIST_ENTRY Entry = Context->ReadQueue.Flink; Entry != &Context->ReadQueue; Entry = Entry->Flink) {
        PIRP Irp = QueuedIrp(Entry);
        if (IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            RemoveEntryList(Entry);
            Next = Irp;
            break;
        }
    }
    Context->ActiveRead = Next;
    KeReleaseSpinLock(&Context->ReadQueueLock, OldIrql);
    return Next;
}

// Any IRQL up to DISPATCH_LEVEL, no spin lock held. The next owner's own
// end hands the buffer on again, so this starts at most one read.
void HandOnReceiveBuffer(DeviceContext* Context)
{
    PIRP Irp = TakeNextOwner(Context);
    if (!Irp) {
        return;
    }
    TransferContext* Transfer = QueuedTransfer(Irp);
    if (CurrentPnpState(Context) != DeviceRunning) {
        EndOwnedRead(Irp, Transfer, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    ContinueOwnedRead(Irp, Transfer, 0);
}

// Takes out of the queue the requests made on FileObject (every request when
// FileObject is null) whose cancel routine can still be cleared, and ends
// them with Status outside the lock. The caller holds an I/O reference, so
// the device outlives the loop. Any IRQL up to DISPATCH_LEVEL, with no spin
// lock held.
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
        PIRP Irp = QueuedIrp(RemoveHeadList(&Drained));
        EndTransfer(Irp, QueuedTransfer(Irp), Status, 0);
    }
}

// Called by the PnP code when the device leaves DeviceRunning. Any IRQL up
// to DISPATCH_LEVEL, with no spin lock held.
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
