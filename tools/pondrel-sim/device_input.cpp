#include "tools/pondrel-sim/device_input.h"

#include "tools/session/text_file.h"

namespace sim {

std::optional<emu::usb::DeviceModel> LoadDeviceFile(const std::string& path, std::string* error)
{
    auto text = session::ReadTextFile(path, "device file", error);
    if (!text)
        return std::nullopt;
    if (text->find_first_not_of(" \t\r\n") == std::string::npos) {
        *error = path + ": the device file is empty";
        return std::nullopt;
    }
    return emu::usb::DeviceModel::Parse(*text, path, error);
}

}  // namespace sim
