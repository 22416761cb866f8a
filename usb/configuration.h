// Reading the device's descriptors, selecting its configuration, aborting
// its pipes and releasing the configuration. PASSIVE_LEVEL.
#pragma once

#include "platform/usb.h"

NTSTATUS SetUpConfiguration(PDEVICE_OBJECT DeviceObject);
NTSTATUS FetchConfigDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS ApplyConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor);
NTSTATUS FreeConfiguration(PDEVICE_OBJECT DeviceObject);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);

// Aborts every pipe of the selected interface without touching the open
// flags; for a query that has waited too long for transfers in flight.
NTSTATUS AbortAllPipes(PDEVICE_OBJECT DeviceObject);

// How long a drain waits for requests in flight before it aborts the pipes,
// in 100-nanosecond units (3 seconds).
constexpr LONGLONG StuckTransferGracePeriod = 3LL * 10 * 1000 * 1000;

// Waits on QuiesceEvent until no request is in flight, aborting every pipe
// after each grace period that passes (a transfer the device does not
// answer would otherwise be waited for without end). PASSIVE_LEVEL.
void DrainRequestsInFlight(PDEVICE_OBJECT DeviceObject);
