#include "tools/session/missing_device.h"

namespace session {

std::string MissingDeviceHint(uint32_t status, const std::string& path)
{
    constexpr uint32_t kObjectNameNotFound = 0xC0000034;
    constexpr uint32_t kObjectPathNotFound = 0xC000003A;
    if (status != kObjectNameNotFound && status != kObjectPathNotFound)
        return {};
    return "no device at " + path +
           ": is the pondrel driver installed (pnputil /add-driver pondrel.inf /install) and the device plugged in?";
}

}  // namespace session
