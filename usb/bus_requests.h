// Synchronous requests to the USB bus driver beneath LowerDevice.
// All run at PASSIVE_LEVEL: they wait for the bus driver's answer.
#pragma once

#include "platform/usb.h"

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SendPipeReset(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject);
