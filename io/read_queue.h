// Reads waiting for the receive buffer, as the PnP, power and drain code
// see them.
#pragma once

#include "driver/device_context.h"

void InitializeReadQueue(DeviceContext* Context);

// Ends every queued read with Status; for a device that is leaving for
// good (stopped, removed). Any IRQL up to DISPATCH_LEVEL, no spin lock held.
void CompleteQueuedReads(DeviceContext* Context, NTSTATUS Status);

// A drain begins: no bus read starts until ReleaseHeldReads, and reads that
// need one wait without an I/O reference. Returns the pipe of the bus read
// of the read that owns the buffer (null when it has sent none, or no read
// owns it), which the drain aborts so that the read goes back to wait. Any
// IRQL up to DISPATCH_LEVEL.
USBD_PIPE_HANDLE HoldBusReads(DeviceContext* Context);

// The device is back (in D0 after a power request, or running again after a
// start or a cancelled query): waiting reads go on. Any IRQL up to
// DISPATCH_LEVEL, no spin lock held, under a reference or request that
// keeps the device.
void ReleaseHeldReads(DeviceContext* Context);
