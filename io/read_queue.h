// Reads waiting for the receive buffer. The PnP code calls
// CompleteQueuedReads when the device leaves DeviceRunning.
#pragma once

#include "driver/device_context.h"

void InitializeReadQueue(DeviceContext* Context);
void CompleteQueuedReads(DeviceContext* Context, NTSTATUS Status);
