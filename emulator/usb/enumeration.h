// What a hub checks of a device's device descriptor before it reports the
// device to the PnP manager. A device it rejects gets no PDO: Windows shows
// it as a failed enumeration and loads no function driver for it.
#pragma once

#include "emulator/usb/device_model.h"

#include <string>

namespace emu::usb {

// Why a hub would refuse the device descriptor at `speed`; empty when it
// would enumerate the device.
std::string HubRejection(const std::vector<uint8_t>& deviceDescriptor, BusSpeed speed);

}  // namespace emu::usb
