// The fixed names under which applications find the device. The device name
// is fixed, so at most one device object of the driver exists at a time.
#pragma once

#include "include/pondrel.h"
#include "platform/kernel.h"

#define PONDREL_DEVICE_NAME L"\\Device\\pondrel"
#define PONDREL_DOS_LINK_NAME L"\\DosDevices\\pondrel"

// The device interface class that applications enumerate to find the
// device, as the public application header gives it.
constexpr GUID PondrelInterfaceClass = PONDREL_INTERFACE_GUID_INIT;

// Deletes the DOS link that AddDevice created. PASSIVE_LEVEL.
void DeleteDosLink();
