// Passing a Plug and Play request down and waiting for the lower drivers.
#pragma once

#include "driver/device_context.h"

NTSTATUS ForwardRequestSync(DeviceContext* Context, PIRP Irp);
NTSTATUS ForwardSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
