// What pondrelctl tells a person whose open found no device: the usual
// reasons are a driver that is not installed or a device that is not
// plugged in, neither of which the status alone says.
#pragma once

#include <cstdint>
#include <string>

namespace session {

// A note for an open of `path` that ended with `status`; empty unless the
// status says nothing by that name exists.
std::string MissingDeviceHint(uint32_t status, const std::string& path);

}  // namespace session
