#include "driver/entry_points.h"
#include "power/device_power.h"
#include "power/power_request.h"
#include "power/system_power.h"
#include "power/wait_wake.h"
#include "power/wake_arming.h"

namespace {

// Where DispatchPower sends a request once it holds a reference for it.
enum class PowerRoute {
    WaitWake,     // passed down to the bus driver, which holds it until wake
    SystemSet,
    SystemQuery,
    DeviceSet,
    DeviceQuery,
    PassDown,     // IRP_MN_POWER_SEQUENCE, unknown minor codes, unknown power types
};

// Sorts by minor code, then by power type: a set or query of a type the
// platform does not define is passed down like an unknown minor code.
PowerRoute RouteOf(PIO_STACK_LOCATION Stack)
{
    if (Stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        return PowerRoute::WaitWake;
    }
    if (Stack->MinorFunction != IRP_MN_SET_POWER && Stack->MinorFunction != IRP_MN_QUERY_POWER) {
        return PowerRoute::PassDown;
    }

    const bool set = Stack->MinorFunction == IRP_MN_SET_POWER;
    switch (PowerValue(&Stack->Parameters.Power.Type)) {
    case SystemPowerState:
        return set ? PowerRoute::SystemSet : PowerRoute::SystemQuery;
    case DevicePowerState:
        return set ? PowerRoute::DeviceSet : PowerRoute::DeviceQuery;
    default:
        return PowerRoute::PassDown;
    }
}

// Sends a request we do not handle to the lower drivers untouched, and gives
// back its reference. Returns the lower drivers' status.
NTSTATUS PassDownUntouched(DeviceContext* Context, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(Context->LowerDevice, Irp);
    ReleaseIoReference(Context);
    return status;
}

// The wait-wake request holds no reference while it waits in the bus driver,
// so drains and removal never wait for it.
NTSTATUS PassDownWaitWake(DeviceContext* Context, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    PoStartNextPowerIrp(Irp);
    PassPowerRequestDown(Context, Irp, WakeIrpCompletion);
    ReleaseIoReference(Context);
    return STATUS_PENDING;
}

}  // namespace

// The driver's IRP_MJ_POWER entry. Screens the request by the PnP state read
// once on entry, takes a reference for the requests it handles, and hands
// each to its handler. Called by the power manager at PASSIVE_LEVEL
// (DO_POWER_PAGABLE) or DISPATCH_LEVEL. A set or query request is marked
// pending and belongs to its handler afterwards, even when it is already
// completed; any other request belongs to the lower drivers, or is completed
// here in DeviceRemoved.
extern "C" NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    const DEVICE_PNP_STATE state = CurrentPnpState(context);

    if (state == DeviceRemoved) {
        PoStartNextPowerIrp(Irp);
        CompletePowerRequest(Irp, STATUS_DELETE_PENDING);
        return STATUS_DELETE_PENDING;
    }

    if (state == DeviceNew) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(context->LowerDevice, Irp);
    }

    AcquireIoReference(context);

    switch (RouteOf(IoGetCurrentIrpStackLocation(Irp))) {
    case PowerRoute::WaitWake:
        return PassDownWaitWake(context, Irp);
    case PowerRoute::SystemSet:
        PowerRequestArrived(context);
        IoMarkIrpPending(Irp);
        PassPowerRequestDown(context, Irp, SystemPowerCompletion);
        return STATUS_PENDING;
    case PowerRoute::SystemQuery:
        PowerRequestArrived(context);
        IoMarkIrpPending(Irp);
        OnSystemQueryPower(DeviceObject, Irp);
        return STATUS_PENDING;
    case PowerRoute::DeviceSet:
        PowerRequestArrived(context);
        IoMarkIrpPending(Irp);
        OnDeviceSetPower(DeviceObject, Irp);
        return STATUS_PENDING;
    case PowerRoute::DeviceQuery:
        PowerRequestArrived(context);
        IoMarkIrpPending(Irp);
        OnDeviceQueryPower(DeviceObject, Irp);
        return STATUS_PENDING;
    case PowerRoute::PassDown:
        break;
    }
    return PassDownUntouched(context, Irp);
}
