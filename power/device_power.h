// Device power requests: keeping CurrentDevicePower, telling the power
// manager of each change, and draining I/O before the device leaves
// PowerDeviceD0 or answers a query for a state at least as deep as its own.
#pragma once

#include "driver/device_context.h"

NTSTATUS OnDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OnDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS DevicePowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
