// What a hub checks of a device's device descriptor before it reports the
// device to the PnP manager. A device it rejects gets no PDO: Windows shows
// it as a failed enumeration and loads no function driver for it.
#pragma once

#include "emulator/usb/device_model.h"

#include <string>

namespace emu::usb {

enum class BusSpeed { Full, High, Super };

// The speed the device runs at as far as its descriptors tell: USB 3 by
// bcdUSB, high speed when a bulk endpoint has 512-byte packets (bulk packets
// of that size exist only at high speed), full speed otherwise.
BusSpeed SpeedOf(const DeviceModel& model);

// Why a hub would refuse the device descriptor at `speed`; empty when it
// would enumerate the device.
std::string HubRejection(const std::vector<uint8_t>& deviceDescriptor, BusSpeed speed);

}  // namespace emu::usb
