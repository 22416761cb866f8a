// What a set request needs, set aside when the device is added: a driver
// may fail a query for want of pool, never a set, and a set also arrives
// while the device is stopped or gone from the bus.
#pragma once

#include "driver/device_context.h"

// Sets aside one system request's context, one drain record with its work
// item and the wake-arming work item. PASSIVE_LEVEL (AddDevice).
// STATUS_INSUFFICIENT_RESOURCES, with nothing left set aside, when any of
// them cannot be had.
NTSTATUS ReservePowerResources(PDEVICE_OBJECT DeviceObject);

// Frees what ReservePowerResources set aside. PASSIVE_LEVEL, once no power
// request, drain or wake arming can run any more (removal, or AddDevice
// failing).
void ReleasePowerResources(DeviceContext* Context);

// The reserved record, or null while another request uses it. Up to
// DISPATCH_LEVEL.
SystemPowerContext* TakeReservedSystemPower(DeviceContext* Context);
PowerDrainContext* TakeReservedDrain(DeviceContext* Context);

// Gives a record back: into the reserve when it came from there, to the
// pool otherwise (with its work item, for a drain record). Up to
// DISPATCH_LEVEL, except that a drain record's own work item may be freed
// only once its routine runs.
void GiveBackSystemPower(DeviceContext* Context, SystemPowerContext* Record);
void GiveBackDrain(DeviceContext* Context, PowerDrainContext* Record);
