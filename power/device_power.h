// Device power requests: keeping CurrentDevicePower, telling the power
// manager of each change, and draining I/O before the device leaves
// PowerDeviceD0 or answers a query for a state at least as deep as its own.
#pragma once

#include "driver/device_context.h"

NTSTATUS OnDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI DevicePowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Tells the power manager of the device's power state. At most APC_LEVEL,
// or DISPATCH_LEVEL for PowerDeviceD0.
void ReportDevicePower(PDEVICE_OBJECT DeviceObject, LONG State);
// Tells it of a set request's target below D0, before the request goes
// down; nothing for D0, which is told once the device has its power back.
// At most APC_LEVEL.
void AnnounceLowPower(PDEVICE_OBJECT DeviceObject, LONG Target);
