#include "power/wait_wake.h"
#include "power/wait_wake_tracking.h"

// The count starts at 1, its bias: it can reach 0 only while a waiter has
// given the bias back, so only then does the last follow-up set the event.
void InitializeWakeTracking(DeviceContext* Context)
{
    Context->WakeFollowUpCount = 1;
    KeInitializeEvent(&Context->WakeFollowUpIdleEvent, SynchronizationEvent, FALSE);
}

void BeginWakeFollowUp(DeviceContext* Context)
{
    InterlockedIncrement(&Context->WakeFollowUpCount);
}

void EndWakeFollowUp(DeviceContext* Context)
{
    if (InterlockedDecrement(&Context->WakeFollowUpCount) == 0) {
        KeSetEvent(&Context->WakeFollowUpIdleEvent, 0, FALSE);
    }
}

// The event is cleared while the bias still keeps the count above 0, so a
// signal left over from an earlier drain cannot end this wait early; after
// that the waiter goes on only once the last follow-up has set the event (or
// when there was none), never while one is still inside EndWakeFollowUp.
// The bias is taken again for the next drain.
void WaitForWakeFollowUps(DeviceContext* Context)
{
    KeClearEvent(&Context->WakeFollowUpIdleEvent);
    if (InterlockedDecrement(&Context->WakeFollowUpCount) != 0) {
        KeWaitForSingleObject(&Context->WakeFollowUpIdleEvent, Executive, KernelMode, FALSE, nullptr);
    }
    InterlockedIncrement(&Context->WakeFollowUpCount);
}
