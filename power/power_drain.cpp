#include "power/power_drain.h"

#include "power/device_power.h"
#include "power/power_request.h"
#include "power/system_power.h"
#include "usb/configuration.h"

namespace {

void BeginPowerDrain(DeviceContext* Context)
{
    InterlockedIncrement(&Context->PowerDrainCount);
}

// The caller must not touch the context afterwards: the last drain lets a
// waiting removal go on to delete the device object.
void EndPowerDrain(DeviceContext* Context)
{
    if (InterlockedDecrement(&Context->PowerDrainCount) == 0) {
        KeSetEvent(&Context->PowerDrainIdleEvent, 0, FALSE);
    }
}

}  // namespace

// The count starts at 1, its bias: it reaches 0 only while a waiter has
// given the bias back.
void InitializePowerDrainTracking(DeviceContext* Context)
{
    Context->PowerDrainCount = 1;
    KeInitializeEvent(&Context->PowerDrainIdleEvent, SynchronizationEvent, FALSE);
}

// The event is cleared while the bias still holds the count above 0, so
// that only the end of a drain counted now can set it; the bias is taken
// again for the next waiter.
void WaitForPowerDrains(DeviceContext* Context)
{
    KeClearEvent(&Context->PowerDrainIdleEvent);
    if (InterlockedDecrement(&Context->PowerDrainCount) != 0) {
        KeWaitForSingleObject(&Context->PowerDrainIdleEvent, Executive, KernelMode, FALSE, nullptr);
    }
    InterlockedIncrement(&Context->PowerDrainCount);
}

// Hands a device request to the drain work item. Up to DISPATCH_LEVEL.
// Returns STATUS_PENDING when queued: the work item then owns the request and
// its reference. Otherwise STATUS_INSUFFICIENT_RESOURCES, or
// STATUS_DELETE_PENDING once removal has begun (as DispatchPower answers
// from then on), and the request is still the caller's.
//
// The drain is counted before the state is tested: a removal that changes
// the state and then waits for the drains either sees this one, or this
// call sees the new state.
NTSTATUS QueuePowerDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    BeginPowerDrain(context);
    if (CurrentPnpState(context) == DeviceRemoved) {
        EndPowerDrain(context);
        return STATUS_DELETE_PENDING;
    }

    auto* record = static_cast<PowerDrainContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PowerDrainContext), PondrelPoolTag));
    if (record == nullptr) {
        EndPowerDrain(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    record->DeviceObject = DeviceObject;
    record->PowerIrp = Irp;
    record->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (record->WorkItem == nullptr) {
        ExFreePool(record);
        EndPowerDrain(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    IoMarkIrpPending(Irp);
    IoQueueWorkItem(record->WorkItem, PowerDrainWorker, DelayedWorkQueue, record);
    return STATUS_PENDING;
}

// Waits until no request other than the power path's own is in flight, then
// passes the device request down. The power path's references are given
// back for the wait, or it would wait for itself, and taken again before the
// request goes on, so IoRefCount never falls below the device's own
// reference. A set is announced to the power manager here, at the level
// PoSetPowerState needs for a state below D0, before the request goes down;
// the drain ends once the request is down (stop and removal wait for that).
// System worker thread, PASSIVE_LEVEL; the only wait of the power path. The
// request belongs to the lower drivers, then to DevicePowerDownCompletion,
// when this returns.
void PowerDrainWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    auto* record = static_cast<PowerDrainContext*>(Context);
    DeviceContext* context = ContextOf(DeviceObject);
    PIRP irp = record->PowerIrp;

    const LONG held = PowerPathReferences(context);
    for (LONG i = 0; i < held; ++i) {
        ReleaseIoReference(context);
    }
    DrainRequestsInFlight(DeviceObject);
    for (LONG i = 0; i < held; ++i) {
        AcquireIoReference(context);
    }

    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_SET_POWER) {
        AnnounceLowPower(DeviceObject, TargetPowerState(irp));
    }
    PassPowerRequestDown(context, irp, DevicePowerDownCompletion);
    EndPowerDrain(context);

    IoFreeWorkItem(record->WorkItem);
    ExFreePool(record);
}
