// Keeping a wait-wake request armed while the device can wake the system.
#pragma once

#include "driver/device_context.h"

// True when the device can signal wake: its configuration has remote
// wakeup, and the bus reports both a system state it can wake the machine
// from and a device state it can signal wake in (a controller that cannot
// wake reports them unspecified). Any IRQL.
bool DeviceCanWake(const DeviceContext* Context);

NTSTATUS ArmWaitWake(DeviceContext* Context);
void DisarmWaitWake(DeviceContext* Context);
NTSTATUS NTAPI WakeIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void NTAPI WakeRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PVOID Context, PIO_STATUS_BLOCK IoStatus);
void NTAPI WakePowerUpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PVOID Context, PIO_STATUS_BLOCK IoStatus);

// Sets up the follow-up accounting of a new context (AddDevice). PASSIVE_LEVEL.
void InitializeWakeTracking(DeviceContext* Context);

// Waits until neither a wait-wake request of the driver nor the power-up
// request that follows a wake is outstanding. Called by stop and removal
// after the device has left DeviceRunning and wait-wake was disarmed, so
// that nothing new can start. PASSIVE_LEVEL.
void WaitForWakeFollowUps(DeviceContext* Context);
