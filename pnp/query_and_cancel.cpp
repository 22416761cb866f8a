#include "pnp/forward.h"
#include "pnp/handlers.h"
#include "pnp/pnp_state.h"
#include "usb/configuration.h"

namespace {

// The shared sequence of the two queries: enter the pending state (which
// refuses new I/O), give back the query's own reference, drain, and agree.
// The driver never refuses either query. The request belongs to the lower
// drivers afterwards.
NTSTATUS AgreeAfterDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_PNP_STATE PendingState)
{
    DeviceContext* context = ContextOf(DeviceObject);
    ChangePnpState(context, PendingState);
    ReleaseIoReference(context);
    DrainRequestsInFlight(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    return PassDown(context, Irp);
}

// The shared sequence of the two cancels. Every driver of the stack must see
// a cancel, whatever its own state, so it always goes down first; only a
// device in PendingState then goes back to the state before the query, once
// the lower drivers have agreed. Returns the lower drivers' status, which
// DispatchPnp completes the request with.
NTSTATUS CancelPendingState(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_PNP_STATE PendingState)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const bool pending = CurrentPnpState(context) == PendingState;

    NTSTATUS status = ForwardRequestSync(context, Irp);
    if (pending && NT_SUCCESS(status)) {
        RestorePreviousPnpState(context);
    }
    return status;
}

}  // namespace

// IRP_MN_QUERY_STOP_DEVICE: passed down with success once I/O has drained.
NTSTATUS OnQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return AgreeAfterDrain(DeviceObject, Irp, DeviceStopPending);
}

// IRP_MN_QUERY_REMOVE_DEVICE: passed down with success once I/O has drained.
NTSTATUS OnQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return AgreeAfterDrain(DeviceObject, Irp, DeviceRemovePending);
}

// IRP_MN_CANCEL_STOP_DEVICE; DispatchPnp completes the request.
NTSTATUS OnCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CancelPendingState(DeviceObject, Irp, DeviceStopPending);
}

// IRP_MN_CANCEL_REMOVE_DEVICE; DispatchPnp completes the request.
NTSTATUS OnCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CancelPendingState(DeviceObject, Irp, DeviceRemovePending);
}
