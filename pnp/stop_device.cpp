#include "driver/pool.h"
#include "pnp/forward.h"
#include "pnp/handlers.h"
#include "pnp/pnp_state.h"
#include "power/power_drain.h"
#include "power/wait_wake.h"
#include "usb/bus_requests.h"
#include "usb/configuration.h"

namespace {

// Puts the device into the unconfigured state (a select-configuration request
// without a configuration), when the request block can be had; a device left
// configured is stopped all the same.
void DeconfigureDevice(PDEVICE_OBJECT DeviceObject)
{
    auto* urb = static_cast<_URB_SELECT_CONFIGURATION*>(AllocateFromPool(sizeof(_URB_SELECT_CONFIGURATION)));
    if (urb == nullptr) {
        return;
    }
    urb->Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
    urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->ConfigurationDescriptor = nullptr;
    SubmitUrbSync(DeviceObject, reinterpret_cast<PURB>(urb));
    ExFreePool(urb);
}

// A power drain queued before the stop may still wait, and abort the pipes,
// through the configuration the stop is about to release: it is let finish
// first. The stop's own reference is given back meanwhile, since the drain
// waits for the count to fall to 1.
void LetPowerDrainsFinish(DeviceContext* Context)
{
    ReleaseIoReference(Context);
    WaitForPowerDrains(Context);
    AcquireIoReference(Context);
}

}  // namespace

// IRP_MN_STOP_DEVICE (after a query-stop drained I/O): the device stops,
// wait-wake ends, the configuration is released and the device deconfigured;
// the request goes down with success whatever the deconfiguration gave,
// since a stop must not fail (the device is stopped either way). The state changes first, so that a wake completing at this moment
// can no longer power up or re-arm; what a wake already set off, and a
// power drain already queued, are waited for, so that the next start finds
// wait-wake idle and no drain touches the released configuration. Returns
// the lower drivers' status.
NTSTATUS OnStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    ChangePnpState(context, DeviceStopped);
    LetPowerDrainsFinish(context);
    if (context->RemoteWakeCapable != 0) {
        DisarmWaitWake(context);
    }
    WaitForWakeFollowUps(context);
    FreeConfiguration(DeviceObject);

    DeconfigureDevice(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    return PassDown(context, Irp);
}
