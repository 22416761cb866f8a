// A device file as pondrel-sim reads it: a file that cannot be read, or is
// not text, is refused with the reason before the emulator's parser sees it.
#pragma once

#include "emulator/usb/device_model.h"

#include <optional>
#include <string>

namespace sim {

// The model of device file `path`; null with `error` set ("path: why" or
// "path:line: what is wrong").
std::optional<emu::usb::DeviceModel> LoadDeviceFile(const std::string& path, std::string* error);

}  // namespace sim
