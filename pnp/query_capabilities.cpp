#include "pnp/forward.h"
#include "pnp/handlers.h"
#include "power/wait_wake.h"
#include "power/wake_arming.h"

// IRP_MN_QUERY_CAPABILITIES: the device may go without warning. The lower
// drivers fill the caller's record first; a copy of what they returned is
// kept for the power paths, and the record goes back up with
// SurpriseRemovalOK set; a running device that can wake by what they say
// has wait-wake armed (the first start comes before the first copy). A
// record too old or too small for the structure goes down untouched and is
// neither edited nor kept: only the bus driver answers a PnP request without
// passing it on. DispatchPnp completes the request.
NTSTATUS OnQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return ForwardRequestSync(context, Irp);
    }

    capabilities->SurpriseRemovalOK = TRUE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardRequestSync(context, Irp);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&context->Capabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
        capabilities->SurpriseRemovalOK = TRUE;
        if (CurrentPnpState(context) == DeviceRunning && DeviceCanWake(context)) {
            ArmWaitWakeWhenIdle(context);
        }
    }
    return status;
}
