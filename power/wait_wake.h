// Keeping a wait-wake request armed while the device can wake the system.
#pragma once

#include "driver/device_context.h"

NTSTATUS ArmWaitWake(DeviceContext* Context);
void DisarmWaitWake(DeviceContext* Context);
NTSTATUS WakeIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void WakeRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                     PVOID Context, PIO_STATUS_BLOCK IoStatus);
void WakePowerUpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                     PVOID Context, PIO_STATUS_BLOCK IoStatus);
