// System power requests: the driver is its stack's power policy owner and
// turns every system set or query that the lower drivers accept into a
// device request of the same kind, finishing the system request with the
// device request's status.
#pragma once

#include "driver/device_context.h"

// Ties a device request to the system request that caused it. One per device
// request asked for; freed by DevicePowerRequestDone, or at once when the
// device request cannot be issued.
struct SystemPowerContext {
    PDEVICE_OBJECT DeviceObject;  // our own device object; its extension is the DeviceContext
    PIRP SystemIrp;               // the system request waiting for the device request
    bool Reserved;                // the reserve's record (power/power_reserve.h)
};

NTSTATUS OnSystemQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS RequestDevicePowerForSystem(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS IssueDevicePower(DeviceContext* Context, SystemPowerContext* Record);
void IssueDeferredDevicePower(SystemPowerContext* Record);
void NTAPI DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus);

// The device state the capabilities give for a system state; PowerDeviceD3
// for a value outside the table.
LONG DeviceStateForSystemState(const DeviceContext* Context, LONG SystemState);

// References the power path holds for the device request in hand: its own,
// and that of each system request waiting for its device request.
LONG PowerPathReferences(DeviceContext* Context);
