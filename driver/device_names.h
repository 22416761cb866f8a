// The fixed names under which applications find the device. The device name
// is fixed, so at most one device object of the driver exists at a time.
#pragma once

#include "platform/kernel.h"

#define PONDREL_DEVICE_NAME L"\\Device\\pondrel"
#define PONDREL_DOS_LINK_NAME L"\\DosDevices\\pondrel"

// {6D3A1F52-8C47-4E09-B2D6-5F18A3C7E904}: the device interface class that
// applications enumerate to find the device.
constexpr GUID PondrelInterfaceClass = {
    0x6D3A1F52, 0x8C47, 0x4E09, {0xB2, 0xD6, 0x5F, 0x18, 0xA3, 0xC7, 0xE9, 0x04}};

// Deletes the DOS link that AddDevice created. PASSIVE_LEVEL.
void DeleteDosLink();
