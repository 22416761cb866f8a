// Which pipe index is which endpoint: the driver numbers the pipes of the
// first interface in the order of its endpoint descriptors.
#pragma once

#include "emulator/usb/device_model.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace sim {

struct EndpointEntry {
    uint8_t address;
    uint8_t type;  // bmAttributes & 3: 2 bulk, 3 interrupt
};

// The endpoints of the first interface of `configuration`, in pipe order
// (the pipe table of tools/session/pipe_table.h).
std::vector<EndpointEntry> FirstInterfaceEndpoints(const std::vector<uint8_t>& configuration);

// The pipe index of endpoint `address`, or nothing.
std::optional<int> PipeIndexOf(const std::vector<uint8_t>& configuration, uint8_t address);

// The pipe indices (0 to 5) of a loopback pair: a bulk OUT whose bytes the
// device returns on a bulk IN.
std::optional<std::pair<int, int>> FindLoopbackPipes(const emu::usb::DeviceModel& model,
                                                     const std::vector<uint8_t>& configuration);

}  // namespace sim
