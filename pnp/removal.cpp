#include "driver/device_names.h"
#include "pnp/forward.h"
#include "pnp/handlers.h"
#include "pnp/pnp_state.h"
#include "power/power_drain.h"
#include "power/power_reserve.h"
#include "power/wait_wake.h"
#include "usb/configuration.h"

namespace {

// Stops everything that reaches the device: the wait-wake request, the
// device interface, and the transfers on pipes with open handles.
void TearDown(PDEVICE_OBJECT DeviceObject, DeviceContext* Context)
{
    if (Context->RemoteWakeCapable != 0) {
        DisarmWaitWake(Context);
    }
    IoSetDeviceInterfaceState(&Context->InterfaceLinkName, FALSE);
    AbortOpenPipes(DeviceObject);
}

// Waits for the last reference to go, aborting every pipe after each grace
// period that passes: a bus read that passed its check just before a
// surprise removal may reach the bus after that removal aborted the open
// pipes, and on a device still connected nothing else would end it.
void WaitForFinalRelease(PDEVICE_OBJECT DeviceObject, DeviceContext* Context)
{
    LARGE_INTEGER gracePeriod;
    gracePeriod.QuadPart = -StuckTransferGracePeriod;
    while (KeWaitForSingleObject(&Context->FinalReleaseEvent, Executive, KernelMode, FALSE, &gracePeriod) ==
           STATUS_TIMEOUT) {
        AbortAllPipes(DeviceObject);
    }
}

// Waits until every request in flight has given back its reference, the
// device's own included, and nothing a wake set off is still running. A
// power drain already queued is let finish first, while the device's own
// reference still keeps the count above 0: it waits for the count to fall
// to 1, and takes references again before its request goes down.
void WaitForLastReference(PDEVICE_OBJECT DeviceObject, DeviceContext* Context)
{
    ReleaseIoReference(Context);
    WaitForPowerDrains(Context);
    ReleaseIoReference(Context);
    WaitForFinalRelease(DeviceObject, Context);
    WaitForWakeFollowUps(Context);
}

}  // namespace

// IRP_MN_SURPRISE_REMOVAL: the device is gone. It leaves DeviceRunning first
// (so nothing re-arms or sends again), then wait-wake, the interface and the
// open pipes are torn down; the configuration and the device object stay
// until the removal. Returns the lower drivers' status.
NTSTATUS OnSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    ChangePnpState(context, DeviceSurpriseRemoved);
    TearDown(DeviceObject, context);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    return PassDown(context, Irp);
}

// IRP_MN_REMOVE_DEVICE: tears the device down (unless a surprise removal
// already did), waits for every request in flight and every wake follow-up,
// releases the configuration, passes the request down, detaches, and deletes
// the DOS link and the device object. Gives back the reference DispatchPnp
// took and the device's own. Returns the lower drivers' status; nothing of
// the context is touched after the device object is deleted.
NTSTATUS OnRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const bool surpriseRemoved = CurrentPnpState(context) == DeviceSurpriseRemoved;
    ChangePnpState(context, DeviceRemoved);
    if (!surpriseRemoved) {
        TearDown(DeviceObject, context);
    }

    WaitForLastReference(DeviceObject, context);
    FreeConfiguration(DeviceObject);
    RtlFreeUnicodeString(&context->InterfaceLinkName);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    PDEVICE_OBJECT lowerDevice = context->LowerDevice;
    NTSTATUS status = PassDown(context, Irp);

    IoDetachDevice(lowerDevice);
    ReleasePowerResources(context);
    DeleteDosLink();
    IoDeleteDevice(DeviceObject);
    return status;
}
