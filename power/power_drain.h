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
