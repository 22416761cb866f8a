// Names of request codes for the trace: major and minor functions, URB
// functions, power states.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

std::string MajorName(uint8_t major);
// The minor code's name where the major has named minors (PnP, power), else "".
std::string MinorName(uint8_t major, uint8_t minor);
std::string UrbFunctionName(uint16_t function);
std::string SystemPowerName(int state);
std::string DevicePowerName(int state);

}  // namespace sim
