#include "tools/pondrel-sim/device_input.h"

#include "tools/session/text.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

std::optional<emu::usb::DeviceModel> LoadDeviceFile(const std::string& path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot read the device file (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        *error = path + ": cannot read the device file (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    if (std::string where = session::FindNonText(contents.str()); !where.empty()) {
        *error = path + ": not a device file (" + where + ")";
        return std::nullopt;
    }
    return emu::usb::DeviceModel::Parse(contents.str(), path, error);
}

}  // namespace sim
