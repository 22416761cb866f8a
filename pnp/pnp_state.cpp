#include "pnp/pnp_state.h"

#include "io/read_queue.h"

namespace {

// The single write of PnpState, interlocked so that lock-free readers see
// it whole and in order. Called with StateLock held; returns the state left.
DEVICE_PNP_STATE WriteState(DeviceContext* Context, DEVICE_PNP_STATE NewState)
{
    return static_cast<DEVICE_PNP_STATE>(
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&Context->PnpState), NewState));
}

// What a transition sets off, outside the lock: reads waiting for the
// receive buffer go on when the device runs (again), keep waiting while a
// stop or removal is only queried, and end when the device leaves for good.
void AfterTransition(DeviceContext* Context, DEVICE_PNP_STATE Left, DEVICE_PNP_STATE Entered)
{
    if (Entered == DeviceRunning) {
        ReleaseHeldReads(Context);
    } else if (Left != Entered && Entered != DeviceStopPending && Entered != DeviceRemovePending) {
        CompleteQueuedReads(Context, STATUS_INVALID_DEVICE_STATE);
    }
}

}  // namespace

void ChangePnpState(DeviceContext* Context, DEVICE_PNP_STATE NewState)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Context->StateLock);
    const DEVICE_PNP_STATE left = WriteState(Context, NewState);
    Context->PreviousPnpState = left;
    KeReleaseSpinLock(&Context->StateLock, oldIrql);

    AfterTransition(Context, left, NewState);
}

void RestorePreviousPnpState(DeviceContext* Context)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Context->StateLock);
    const DEVICE_PNP_STATE restored = Context->PreviousPnpState;
    const DEVICE_PNP_STATE left = WriteState(Context, restored);
    KeReleaseSpinLock(&Context->StateLock, oldIrql);

    AfterTransition(Context, left, restored);
}
