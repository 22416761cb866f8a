#include "pnp/forward.h"
#include "pnp/handlers.h"
#include "pnp/pnp_state.h"
#include "power/wait_wake.h"
#include "power/wake_arming.h"
#include "usb/configuration.h"

// IRP_MN_START_DEVICE: the lower drivers start the device first; then the
// device is configured, its interface enabled, and only then does it run
// (and arm wait-wake when it can wake the system). Blocks left behind by an
// earlier start that failed are freed first. Wait-wake needs no reset here:
// stop and removal leave it idle, and nothing arms before the device runs.
// A device already running is started again when a driver of its stack
// reports new resource requirements: the lower drivers see the start, and
// the configuration in force stays under the open handles and the requests
// in flight. Returns the first failure, or the interface's (non-negative)
// status; the state stays as it was on failure. DispatchPnp completes the
// request.
NTSTATUS OnStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (CurrentPnpState(context) == DeviceRunning) {
        return ForwardRequestSync(context, Irp);
    }
    FreeConfiguration(DeviceObject);

    NTSTATUS status = ForwardRequestSync(context, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SetUpConfiguration(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoSetDeviceInterfaceState(&context->InterfaceLinkName, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ChangePnpState(context, DeviceRunning);
    if (DeviceCanWake(context)) {
        ArmWaitWakeWhenIdle(context);
    }
    return status;
}
