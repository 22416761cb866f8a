// The count of wake follow-ups (an armed wait-wake request of the driver, a
// power-up asked for after a wake) that stop and removal wait for. Private
// to the wait-wake code.
#pragma once

#include "driver/device_context.h"

// One more follow-up is outstanding. Any IRQL up to DISPATCH_LEVEL.
void BeginWakeFollowUp(DeviceContext* Context);

// One follow-up has ended. The caller must not touch the context afterwards:
// the last one lets a waiting removal delete the device object. Any IRQL up
// to DISPATCH_LEVEL.
void EndWakeFollowUp(DeviceContext* Context);
