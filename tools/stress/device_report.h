// What the driver's record of the device in use says, for the report of a
// hang: the PnP and power states, the counts that a drain, a stop and a
// removal wait on, the reads that wait for the receive buffer, and the
// names of the events a blocked thread may be waiting on.
#pragma once

#include "emulator/kernel/wdm.h"

#include <string>

namespace lives {

// The device object the report describes from now on (null: none).
void WatchDevice(PDEVICE_OBJECT device);

// Several lines, empty when no device is watched or it is gone.
std::string DescribeWatchedDevice();

// `blocked` (DescribeBlocked's text) with each of the device's events
// named where it appears.
std::string NameDeviceEvents(std::string blocked);

}  // namespace lives
