#include "pnp/forward.h"

namespace {

// Priority boost for the PnP requests the driver completes itself.
constexpr CCHAR PnpCompletionBoost = 2;

}  // namespace

// Passes the request down and waits until the lower drivers have finished
// with it. PASSIVE_LEVEL. Returns their status; the request is still ours,
// not completed, and the caller completes it. The event lives in this frame
// for the one forward.
NTSTATUS ForwardRequestSync(DeviceContext* Context, PIRP Irp)
{
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardSyncCompletion, &lowerDone, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(Context->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// Completion routine of ForwardRequestSync: wakes the waiter and stops the
// completion, so the request comes back to it. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI ForwardSyncCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDown(DeviceContext* Context, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(Context->LowerDevice, Irp);
}

void CompletePnpRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, PnpCompletionBoost);
}
