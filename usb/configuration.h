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
