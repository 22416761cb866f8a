#include "power/wake_arming.h"

#include "power/system_power.h"
#include "power/wait_wake.h"
#include "power/wait_wake_tracking.h"

namespace {

enum WakeArming : LONG {
    ArmingIdle = 0,
    ArmingWanted = 1,  // to be queued once no set or query is in hand
    ArmingQueued = 2,  // the work item is queued or running
};

LONG RequestsInHand(DeviceContext* Context)
{
    return InterlockedCompareExchange(&Context->PowerRequestsInHand, 0, 0);
}

void NTAPI WakeArmWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Queues the work item if an arming is wanted and no request is in hand.
// The work item counts as a wake follow-up, so stop and removal wait for it.
void QueueWakeArmingIfIdle(DeviceContext* Context)
{
    if (RequestsInHand(Context) != 0) {
        return;
    }
    if (InterlockedCompareExchange(&Context->WakeArmState, ArmingQueued, ArmingWanted) != ArmingWanted) {
        return;
    }
    BeginWakeFollowUp(Context);
    IoQueueWorkItem(Context->WakeArmWorkItem, WakeArmWorker, DelayedWorkQueue, Context);
}

// Arms wait-wake unless a set or query arrived since the arming was
// queued: then it waits again for that one to end. The state is set back
// to wanted before the count is read again, so that an end between the two
// cannot be missed. System worker thread, PASSIVE_LEVEL.
void NTAPI WakeArmWorker(PDEVICE_OBJECT, PVOID ContextPointer)
{
    auto* context = static_cast<DeviceContext*>(ContextPointer);
    InterlockedExchange(&context->WakeArmState, ArmingWanted);
    if (RequestsInHand(context) == 0 &&
        InterlockedCompareExchange(&context->WakeArmState, ArmingIdle, ArmingWanted) == ArmingWanted) {
        ArmWaitWake(context);
    } else {
        QueueWakeArmingIfIdle(context);
    }
    EndWakeFollowUp(context);
}

}  // namespace

void PowerRequestArrived(DeviceContext* Context)
{
    InterlockedIncrement(&Context->PowerRequestsInHand);
}

void PowerRequestEnded(DeviceContext* Context)
{
    if (InterlockedDecrement(&Context->PowerRequestsInHand) == 0) {
        QueueWakeArmingIfIdle(Context);
    }
}

void ArmWaitWakeWhenIdle(DeviceContext* Context)
{
    if (RequestsInHand(Context) == 0) {
        ArmWaitWake(Context);
        return;
    }
    RequestWakeArming(Context);
}

void RequestWakeArming(DeviceContext* Context)
{
    InterlockedCompareExchange(&Context->WakeArmState, ArmingWanted, ArmingIdle);
    QueueWakeArmingIfIdle(Context);
}

// The arming sets its mark before it looks at the count of requests in
// hand, and a system request is counted before its device request looks at
// the mark: one of the two always sees the other.
void BeginArming(DeviceContext* Context)
{
    InterlockedExchange(&Context->WakeArmingActive, 1);
}

void EndArming(DeviceContext* Context)
{
    InterlockedExchange(&Context->WakeArmingActive, 0);
    auto* record = static_cast<SystemPowerContext*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->DeferredDevicePower), nullptr));
    if (record != nullptr) {
        IssueDeferredDevicePower(record);
    }
}

// The record is left for the arming, then taken back if the arming ended
// before it could have seen it; whichever side takes it sends the request.
bool DeferWhileArming(DeviceContext* Context, SystemPowerContext* Record)
{
    if (InterlockedCompareExchange(&Context->WakeArmingActive, 0, 0) == 0) {
        return false;
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->DeferredDevicePower), Record);
    if (InterlockedCompareExchange(&Context->WakeArmingActive, 0, 0) != 0) {
        return true;
    }
    return InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->DeferredDevicePower),
                                             nullptr, Record) != Record;
}
