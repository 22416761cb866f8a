// Draining the requests in flight, in a work item, before a device power
// request is passed down.
#pragma once

#include "driver/device_context.h"

// Carries one device request to the drain work item; given back by the
// worker just before the request goes down.
struct PowerDrainContext {
    PDEVICE_OBJECT DeviceObject;  // our own device object
    PIRP PowerIrp;                // the device set or query to pass down after the drain
    PIO_WORKITEM WorkItem;        // the reserve's own, or freed by the worker
    PIO_COMPLETION_ROUTINE Completion;  // set on the request as it goes down
    bool Drain;                   // false: only announced at PASSIVE_LEVEL, not drained
    bool Reserved;                // the reserve's record (power/power_reserve.h)
};

// Hands a device request to the drain work item. A set takes the reserved
// record; a query (which may fail) allocates its own.
NTSTATUS QueuePowerDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Hands a set to the same work item without draining, so that its state
// below D0 is announced at PASSIVE_LEVEL before it goes down with
// `Completion` (DispatchPower may run at DISPATCH_LEVEL). Statuses as
// QueuePowerDrain.
NTSTATUS QueuePowerAnnouncement(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE Completion);
void NTAPI PowerDrainWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Sets up the drain accounting of a new context (AddDevice). PASSIVE_LEVEL.
void InitializePowerDrainTracking(DeviceContext* Context);

// Waits until every power drain queued so far has passed its request down.
// Called by stop and removal, holding no I/O reference of their own (the
// drain waits for the count to fall to 1) but still the device's, so that
// the count cannot reach 0 while a drain runs. PASSIVE_LEVEL.
void WaitForPowerDrains(DeviceContext* Context);
