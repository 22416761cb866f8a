#include "power/wait_wake.h"
#include "power/wait_wake_tracking.h"
#include "power/wake_arming.h"

namespace {

DEVICE_POWER_STATE CurrentDevicePowerOf(DeviceContext* Context)
{
    return static_cast<DEVICE_POWER_STATE>(InterlockedCompareExchange(
        reinterpret_cast<volatile LONG*>(&Context->CurrentDevicePower), 0, 0));
}

// After a wake outside D0: full power for the device, counted as a follow-up
// and holding an I/O reference until WakePowerUpDone, which asks for the
// next wait-wake request once the power-up has ended (or here, when none
// could be asked for). The caller has already counted the power-up as a
// request in hand, so that no arming slips in before the request reaches
// DispatchPower; that count ends with it.
void PowerUpAfterWake(DeviceContext* Context)
{
    AcquireIoReference(Context);
    BeginWakeFollowUp(Context);

    POWER_STATE fullPower;
    fullPower.DeviceState = PowerDeviceD0;
    NTSTATUS status = PoRequestPowerIrp(Context->PhysicalDevice, IRP_MN_SET_POWER, fullPower,
                                        WakePowerUpDone, Context, nullptr);
    if (!NT_SUCCESS(status)) {
        RequestWakeArming(Context);
        PowerRequestEnded(Context);
        ReleaseIoReference(Context);
        EndWakeFollowUp(Context);
    }
}

}  // namespace

// Power-manager callback of the driver's wait-wake request, once it has
// completed with any status. Up to DISPATCH_LEVEL. A successful wake outside
// D0 powers the device up and re-arms, but only while the device is running:
// a wake that races a stop or removal leaves the device as the PnP side puts
// it. The follow-up counted when the request was armed ends last, after which
// nothing of the context is touched.
void NTAPI WakeRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID ContextPointer, PIO_STATUS_BLOCK IoStatus)
{
    DeviceContext* context = static_cast<DeviceContext*>(ContextPointer);
    const bool powerUp = NT_SUCCESS(IoStatus->Status) && CurrentDevicePowerOf(context) != PowerDeviceD0 &&
                         CurrentPnpState(context) == DeviceRunning;
    // Counted before the outstanding mark is cleared: an arming that claims
    // the mark after this sees the power-up in hand and waits for its end.
    if (powerUp) {
        PowerRequestArrived(context);
    }
    InterlockedExchange(&context->WakeOutstanding, 0);

    if (powerUp) {
        PowerUpAfterWake(context);
    }
    EndWakeFollowUp(context);
}

// Power-manager callback of the full-power request that follows a wake,
// whatever its status. Up to DISPATCH_LEVEL. Asks for wait-wake to be armed
// again (the work item arms it once no set or query is in hand, this one's
// count ending here), gives back its I/O reference and its follow-up; the
// context is not touched afterwards.
void NTAPI WakePowerUpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID ContextPointer, PIO_STATUS_BLOCK)
{
    DeviceContext* context = static_cast<DeviceContext*>(ContextPointer);
    RequestWakeArming(context);
    PowerRequestEnded(context);
    ReleaseIoReference(context);
    EndWakeFollowUp(context);
}
