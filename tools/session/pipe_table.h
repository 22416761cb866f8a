// The driver's pipe table as the configuration descriptor gives it: the
// endpoints of the lowest-numbered interface (alternate setting 0), in the
// order of their descriptors, which is the order in which the bus driver
// fills the pipe information the driver keeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace session {

struct PipeEntry {
    int index = 0;
    uint8_t endpoint = 0;        // bEndpointAddress
    uint8_t type = 0;            // bmAttributes & 3: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t packetSize = 0;     // wMaxPacketSize, bits 0-10
    uint8_t interval = 0;        // bInterval
    bool In() const { return (endpoint & 0x80) != 0; }
};

// Malformed descriptors end the walk where they stop making sense.
std::vector<PipeEntry> PipeTable(const std::vector<uint8_t>& configuration);

// "bulk", "interrupt", ...
const char* TransferTypeName(uint8_t type);

// The table for people, one line per pipe under a heading.
std::string PipeTableText(const std::vector<PipeEntry>& pipes);

// The table as a JSON array of objects.
std::string PipeTableJson(const std::vector<PipeEntry>& pipes);

}  // namespace session
