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

// The shared sequence of the two cancels: only a device in PendingState goes
// back to the state before the query, once the lower drivers have agreed;
// in any other state the cancel is answered here with success.
NTSTATUS CancelPendingState(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_PNP_STATE PendingState)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (CurrentPnpState(context) != PendingState) {
        return STATUS_SUCCESS;
    }

    NTSTATUS status = ForwardRequestSync(context, Irp);
    if (NT_SUCCESS(status)) {
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
