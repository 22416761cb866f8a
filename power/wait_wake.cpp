#include "power/wait_wake.h"
#include "power/wake_arming.h"
#include "power/power_request.h"
#include "power/wait_wake_tracking.h"

namespace {

// WakeIrp while DisarmWaitWake cancels the request: its address with the
// lowest bit set (an IRP is at least 8-byte aligned). The request is still
// the driver's own, so its completion can tell it from a foreign one, and a
// second disarm finds nothing left to take.
PIRP MarkedCancelling(PIRP Irp)
{
    return reinterpret_cast<PIRP>(reinterpret_cast<ULONG_PTR>(Irp) | 1);
}

bool IsCancelling(PIRP Value)
{
    return (reinterpret_cast<ULONG_PTR>(Value) & 1) != 0;
}

// WakeIrp while ArmWaitWake waits for PoRequestPowerIrp to hand back the new
// request's address: the address of the arming call's own variable with
// the second bit set, so that each arming has a mark of its own. The
// request may complete before its address is known; its completion then
// takes the mark away, and the arming call leaves WakeIrp alone.
PIRP MarkedArming(PIRP* Slot)
{
    return reinterpret_cast<PIRP>(reinterpret_cast<ULONG_PTR>(Slot) | 2);
}

bool IsArming(PIRP Value)
{
    return (reinterpret_cast<ULONG_PTR>(Value) & 2) != 0;
}

// Replaces WakeIrp with Value if it still holds Expected; returns what it held.
PIRP ReplaceWakeIrp(DeviceContext* Context, PIRP Value, PIRP Expected)
{
    return static_cast<PIRP>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Context->WakeIrp), Value, Expected));
}

PIRP ReadWakeIrp(DeviceContext* Context)
{
    return ReplaceWakeIrp(Context, nullptr, nullptr);
}

// Takes the armed request for cancelling: WakeIrp goes from the request to
// its cancelling mark. Null when nothing is armed, when the completion has
// taken it, or when another disarm is already cancelling it.
PIRP TakeArmedRequest(DeviceContext* Context)
{
    for (;;) {
        PIRP armed = ReadWakeIrp(Context);
        if (armed == nullptr || IsCancelling(armed) || IsArming(armed)) {
            return nullptr;
        }
        if (ReplaceWakeIrp(Context, MarkedCancelling(armed), armed) == armed) {
            return armed;
        }
    }
}

}  // namespace

bool DeviceCanWake(const DeviceContext* Context)
{
    return Context->RemoteWakeCapable != 0 &&
           PowerValue(&Context->Capabilities.SystemWake) != PowerSystemUnspecified &&
           PowerValue(&Context->Capabilities.DeviceWake) != PowerDeviceUnspecified;
}

// Asks the power manager for a wait-wake request for the device, unless one
// is already outstanding, the device cannot wake or is not running (a
// request armed for a device that is stopping would outlive its
// configuration). PASSIVE_LEVEL, with no set or query of the device in
// hand: the start, or the arming work item (power/wake_arming.cpp). The request belongs to the lower drivers; WakeRequestDone
// runs once it has completed, unless PoRequestPowerIrp fails.
//
// The request's address reaches WakeIrp only once PoRequestPowerIrp has
// returned it, which may be after the request has completed; until then
// WakeIrp holds this call's arming mark (see MarkedArming).
//
// The follow-up is counted before the state is tested: a stop or removal
// that changes the state and then drains the follow-ups either sees this
// one, or this call sees the new state. When the state changes while the
// request is being armed, the request is disarmed again here, for the
// stopping side may already have looked for it.
NTSTATUS ArmWaitWake(DeviceContext* Context)
{
    if (!DeviceCanWake(Context)) {
        return STATUS_NOT_SUPPORTED;
    }
    BeginWakeFollowUp(Context);
    if (CurrentPnpState(Context) != DeviceRunning) {
        EndWakeFollowUp(Context);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (InterlockedExchange(&Context->WakeOutstanding, 1) != 0) {
        EndWakeFollowUp(Context);
        return STATUS_DEVICE_BUSY;
    }
    // A power request the driver itself asks for (the power-up after a
    // wake, the device request of a system request) is counted in hand
    // before it looks for an arming, so it is seen here even if it came
    // after the caller's own look; one that comes later waits for EndArming.
    BeginArming(Context);
    if (InterlockedCompareExchange(&Context->PowerRequestsInHand, 0, 0) != 0) {
        InterlockedExchange(&Context->WakeOutstanding, 0);
        EndArming(Context);
        EndWakeFollowUp(Context);
        RequestWakeArming(Context);
        return STATUS_DEVICE_BUSY;
    }
    InterlockedExchange(&Context->WakeCancelFlag, 0);

    POWER_STATE wakeFrom;
    wakeFrom.SystemState = Context->Capabilities.SystemWake;
    PIRP irp = nullptr;
    ReplaceWakeIrp(Context, MarkedArming(&irp), nullptr);
    NTSTATUS status = PoRequestPowerIrp(Context->PhysicalDevice, IRP_MN_WAIT_WAKE, wakeFrom,
                                        WakeRequestDone, Context, &irp);
    EndArming(Context);
    if (!NT_SUCCESS(status)) {
        ReplaceWakeIrp(Context, nullptr, MarkedArming(&irp));
        InterlockedExchange(&Context->WakeOutstanding, 0);
        EndWakeFollowUp(Context);
        return status;
    }
    // Armed, unless the request has already ended and taken the mark.
    ReplaceWakeIrp(Context, irp, MarkedArming(&irp));

    if (CurrentPnpState(Context) != DeviceRunning) {
        DisarmWaitWake(Context);
    }
    return status;
}

// Cancels the driver's armed wait-wake request, if there is one. Whichever of
// this routine and WakeIrpCompletion comes second to WakeCancelFlag finishes
// the request; the request stays valid for IoCancelIrp because the
// completion cannot finish it before this routine has set the flag.
// PASSIVE_LEVEL or DISPATCH_LEVEL. Returns with the request either finished
// or left to its completion.
void DisarmWaitWake(DeviceContext* Context)
{
    PIRP irp = TakeArmedRequest(Context);
    if (irp == nullptr) {
        return;
    }

    IoCancelIrp(irp);
    if (InterlockedExchange(&Context->WakeCancelFlag, 1) == 0) {
        return;
    }

    ReplaceWakeIrp(Context, nullptr, MarkedCancelling(irp));
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completion routine of every IRP_MN_WAIT_WAKE that DispatchPower passes
// down. Runs where the bus driver completes the request, up to
// DISPATCH_LEVEL. Returns STATUS_MORE_PROCESSING_REQUIRED only when
// DisarmWaitWake still uses the request and will finish it; otherwise the
// completion goes on upward with the bus driver's status. A wait-wake request
// that the driver did not ask for is let through untouched.
NTSTATUS NTAPI WakeIrpCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID ContextPointer)
{
    DeviceContext* context = static_cast<DeviceContext*>(ContextPointer);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    if (ReplaceWakeIrp(context, nullptr, Irp) == Irp) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    const PIRP held = ReadWakeIrp(context);
    if (IsArming(held) && ReplaceWakeIrp(context, nullptr, held) == held) {
        // Ended before the arming call learnt its address: nothing to cancel.
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    if (held != MarkedCancelling(Irp)) {
        return STATUS_SUCCESS;
    }

    if (InterlockedExchange(&context->WakeCancelFlag, 1) == 0) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    ReplaceWakeIrp(context, nullptr, MarkedCancelling(Irp));
    PoStartNextPowerIrp(Irp);
    return STATUS_CANCELLED;
}
