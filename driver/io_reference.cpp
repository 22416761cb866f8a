#include "driver/device_context.h"

// Takes one I/O reference: a request is now in flight, so QuiesceEvent stops
// being signalled when the count leaves 1. Any IRQL up to DISPATCH_LEVEL.
// Returns the new count.
LONG AcquireIoReference(DeviceContext* Context)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Context->IoRefLock);
    const LONG count = InterlockedIncrement(&Context->IoRefCount);
    if (count == 2) {
        KeClearEvent(&Context->QuiesceEvent);
    }
    KeReleaseSpinLock(&Context->IoRefLock, oldIrql);
    return count;
}

// Gives one I/O reference back. At 1 no request is in flight any more; at 0
// the device's own reference is gone too and the remover may delete the
// device object. Any IRQL up to DISPATCH_LEVEL. Returns the new count.
//
// FinalReleaseEvent is set only after IoRefLock is released: the moment it is
// set the remover may run on and delete the device object with the context,
// lock included, so nothing of the context may be touched after it. No
// reference can be taken once the count is 0, so setting it outside the lock
// cannot race with a new QuiesceEvent transition.
LONG ReleaseIoReference(DeviceContext* Context)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Context->IoRefLock);
    const LONG count = InterlockedDecrement(&Context->IoRefCount);
    if (count == 1) {
        KeSetEvent(&Context->QuiesceEvent, 0, FALSE);
    }
    KeReleaseSpinLock(&Context->IoRefLock, oldIrql);

    if (count == 0) {
        KeSetEvent(&Context->FinalReleaseEvent, 0, FALSE);
    }
    return count;
}

// The reference comes first: a stop, removal or power-down changes the state
// before it waits for the count to drain, so a request either holds its
// reference before the change (and is waited for) or sees the change (and
// backs out). Looking first would leave a window in which the drain finds
// nothing in flight while the request goes on to a device being torn down.
// Any IRQL up to DISPATCH_LEVEL.
bool AcquireIoReferenceIfRunning(DeviceContext* Context)
{
    AcquireIoReference(Context);
    if (CurrentPnpState(Context) == DeviceRunning) {
        return true;
    }
    ReleaseIoReference(Context);
    return false;
}
