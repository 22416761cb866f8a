// Passing a Plug and Play request down, with or without waiting for the
// lower drivers, and finishing one here. PASSIVE_LEVEL.
#pragma once

#include "driver/device_context.h"

NTSTATUS ForwardRequestSync(DeviceContext* Context, PIRP Irp);
NTSTATUS NTAPI ForwardSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Hands the request to LowerDevice on our own stack location and returns
// what IofCallDriver returns; the request belongs to the lower drivers.
NTSTATUS PassDown(DeviceContext* Context, PIRP Irp);

// Completes the request here with Status, no information, boost 2.
void CompletePnpRequest(PIRP Irp, NTSTATUS Status);
