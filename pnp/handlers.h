// The handlers DispatchPnp hands each minor code to. Each runs at
// PASSIVE_LEVEL in the PnP manager's thread, holding the I/O reference that
// DispatchPnp took, and returns the status DispatchPnp completes the request
// with or the lower drivers' status for a request it passed down.
#pragma once

#include "driver/device_context.h"
#include "usb/configuration.h"

NTSTATUS OnStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnCancelStop(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnCancelRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnQueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// How long a stop or removal query waits for requests in flight before it
// aborts the pipes, in 100-nanosecond units.
constexpr LONGLONG QueryGracePeriod = StuckTransferGracePeriod;
