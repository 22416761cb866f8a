#include "power/power_drain.h"

#include "power/device_power.h"
#include "driver/pool.h"
#include "power/power_request.h"
#include "power/power_reserve.h"
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

// A record for the work item: the reserve's for a set, whenever it is free
// (the power manager sends one device set at a time, and the worker gives
// the record back before the set goes down); otherwise one from the pool.
static PowerDrainContext* TakeDrainRecord(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        PowerDrainContext* reserved = TakeReservedDrain(context);
        if (reserved != nullptr) {
            return reserved;
        }
    }
    auto* record = static_cast<PowerDrainContext*>(AllocateFromPool(sizeof(PowerDrainContext)));
    if (record == nullptr) {
        return nullptr;
    }
    record->Reserved = false;
    record->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (record->WorkItem == nullptr) {
        ExFreePool(record);
        return nullptr;
    }
    return record;
}

// Hands a device request to the work item. Up to DISPATCH_LEVEL. Returns
// STATUS_PENDING when queued: the work item then owns the request and its
// reference. Otherwise STATUS_INSUFFICIENT_RESOURCES, or
// STATUS_DELETE_PENDING once removal has begun (as DispatchPower answers
// from then on), and the request is still the caller's.
//
// The drain is counted before the state is tested: a removal that changes
// the state and then waits for the drains either sees this one, or this
// call sees the new state.
static NTSTATUS QueueToWorker(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE Completion, bool Drain)
{
    DeviceContext* context = ContextOf(DeviceObject);
    BeginPowerDrain(context);
    if (CurrentPnpState(context) == DeviceRemoved) {
        EndPowerDrain(context);
        return STATUS_DELETE_PENDING;
    }

    PowerDrainContext* record = TakeDrainRecord(DeviceObject, Irp);
    if (record == nullptr) {
        EndPowerDrain(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->DeviceObject = DeviceObject;
    record->PowerIrp = Irp;
    record->Completion = Completion;
    record->Drain = Drain;

    IoMarkIrpPending(Irp);
    IoQueueWorkItem(record->WorkItem, PowerDrainWorker, DelayedWorkQueue, record);
    return STATUS_PENDING;
}

NTSTATUS QueuePowerDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return QueueToWorker(DeviceObject, Irp, DevicePowerDownCompletion, true);
}

NTSTATUS QueuePowerAnnouncement(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    return QueueToWorker(DeviceObject, Irp, Completion, false);
}

// Waits, for a drain, until no request other than the power path's own is
// in flight, then passes the device request down. The power path's references are given
// back for the wait, or it would wait for itself, and taken again before the
// request goes on, so IoRefCount never falls below the device's own
// reference. A set is announced to the power manager here, at the level
// PoSetPowerState needs for a state below D0, before the request goes down;
// the drain ends once the request is down (stop and removal wait for that).
// A set handed over only to be announced goes down without the wait.
// System worker thread, PASSIVE_LEVEL; the only wait of the power path. The
// request belongs to the lower drivers, then to DevicePowerDownCompletion,
// when this returns.
void NTAPI PowerDrainWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    auto* record = static_cast<PowerDrainContext*>(Context);
    DeviceContext* context = ContextOf(DeviceObject);
    PIRP irp = record->PowerIrp;
    const PIO_COMPLETION_ROUTINE completion = record->Completion;

    if (record->Drain) {
        const LONG held = PowerPathReferences(context);
        for (LONG i = 0; i < held; ++i) {
            ReleaseIoReference(context);
        }
        DrainRequestsInFlight(DeviceObject);
        for (LONG i = 0; i < held; ++i) {
            AcquireIoReference(context);
        }
    }

    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_SET_POWER) {
        AnnounceLowPower(DeviceObject, TargetPowerState(irp));
    }
    // Back in the reserve before the set goes down: the next set may
    // arrive as soon as this one completes.
    GiveBackDrain(context, record);
    PassPowerRequestDown(context, irp, completion);
    EndPowerDrain(context);
}
