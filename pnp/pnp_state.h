// The one place where PnpState changes. PASSIVE_LEVEL (the PnP handlers);
// StateLock is held only across the two state fields.
#pragma once

#include "driver/device_context.h"

// Enters NewState, keeping the state left in PreviousPnpState. Reads waiting
// for data are completed with STATUS_INVALID_DEVICE_STATE when the device
// leaves DeviceRunning.
void ChangePnpState(DeviceContext* Context, DEVICE_PNP_STATE NewState);

// Returns to PreviousPnpState (a cancelled query); PreviousPnpState stays.
void RestorePreviousPnpState(DeviceContext* Context);
