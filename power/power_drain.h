// Draining the requests in flight, in a work item, before a device power
// request is passed down.
#pragma once

#include "driver/device_context.h"

// Carries one device request to the drain work item; freed by the worker
// once the request has been passed down.
struct PowerDrainContext {
    PDEVICE_OBJECT DeviceObject;  // our own device object
    PIRP PowerIrp;                // the device set or query to pass down after the drain
    PIO_WORKITEM WorkItem;        // freed by the worker
};

NTSTATUS QueuePowerDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void PowerDrainWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Sets up the drain accounting of a new context (AddDevice). PASSIVE_LEVEL.
void InitializePowerDrainTracking(DeviceContext* Context);

// Waits until every power drain queued so far has passed its request down.
// Called by stop and removal, holding no I/O reference of their own (the
// drain waits for the count to fall to 1) but still the device's, so that
// the count cannot reach 0 while a drain runs. PASSIVE_LEVEL.
void WaitForPowerDrains(DeviceContext* Context);
