// Names of request codes, for pondrel-sim's trace and the `lower` command:
// major and minor functions, URB functions, power states.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace session {

std::string MajorName(uint8_t major);
// The minor code's name where the major has named minors (PnP, power, WMI), else "".
std::string MinorName(uint8_t major, uint8_t minor);
std::string UrbFunctionName(uint16_t function);
std::string SystemPowerName(int state);
std::string DevicePowerName(int state);

// A PnP minor code from its name, with or without IRP_MN_ ("QUERY_STOP_DEVICE").
std::optional<uint8_t> PnpMinorFromName(std::string_view name);
// A WMI minor code (IRP_MJ_SYSTEM_CONTROL) from its name, with or without IRP_MN_ ("QUERY_ALL_DATA").
std::optional<uint8_t> WmiMinorFromName(std::string_view name);
// A URB function from its name, with or without URB_FUNCTION_ ("BULK_OR_INTERRUPT_TRANSFER").
std::optional<uint16_t> UrbFunctionFromName(std::string_view name);

}  // namespace session
