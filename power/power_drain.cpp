#include "power/power_drain.h"

#include "power/device_power.h"
#include "power/power_request.h"
#include "power/system_power.h"
#include "usb/configuration.h"

// Hands a device request to the drain work item. Up to DISPATCH_LEVEL.
// Returns STATUS_PENDING when queued: the work item then owns the request and
// its reference. Otherwise STATUS_INSUFFICIENT_RESOURCES, and the request is
// still the caller's.
NTSTATUS QueuePowerDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* record = static_cast<PowerDrainContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerDrainContext), PondrelPoolTag));
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    record->DeviceObject = DeviceObject;
    record->PowerIrp = Irp;
    record->WorkItem = IoAllocateWorkItem(DeviceObject);
    if (record->WorkItem == nullptr) {
        ExFreePool(record);
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
// PoSetPowerState needs for a state below D0, before the request goes down.
// System worker thread, PASSIVE_LEVEL; the only wait of the power path. The request belongs to the lower drivers, then to
// DevicePowerDownCompletion, when this returns.
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

    IoFreeWorkItem(record->WorkItem);
    ExFreePool(record);
}
