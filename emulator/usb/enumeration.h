// What a hub checks of a device's device descriptor before it reports the
// device to the PnP manager. A device it rejects gets no PDO: Windows shows
// it as a failed enumeration and loads no function driver for it.
#pragma once

#include "emulator/usb/descriptor_walk.h"
#include "emulator/usb/device_model.h"

#include <string>

namespace emu::usb {

// Why a hub would refuse the device descriptor at `speed`; empty when it
// would enumerate the device.
std::string HubRejection(const std::vector<uint8_t>& deviceDescriptor, BusSpeed speed);
// The same for the whole device at its speed: its device descriptor and,
// when its bcdUSB is above 2.00, its BOS descriptor, without which Windows
// fails the enumeration (code 43).
std::string HubRejection(const DeviceModel& model);
std::string BosRejection(const std::vector<uint8_t>& deviceDescriptor, const std::vector<uint8_t>& bos);

// Why the bus would refuse to select a configuration at `speed`: the first
// endpoint, of any interface setting, whose packet size the USB rules for
// that speed do not allow, or a SuperSpeed endpoint without its companion
// descriptor. Empty when every endpoint is valid.
std::string EndpointRejection(const ParsedConfiguration& parsed, BusSpeed speed);
// The same for a configuration descriptor block as a device serves it.
std::string ConfigurationRejection(const std::vector<uint8_t>& configDescriptor, BusSpeed speed);

}  // namespace emu::usb
