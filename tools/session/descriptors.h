// USB descriptors decoded the way `lsusb -v` prints them. Malformed input
// (short blocks, zero lengths, lengths past the end) is described, never
// read beyond.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace session {

// The device descriptor (if not empty), then the configuration descriptor
// with every descriptor that follows it, one line per field.
std::string DescribeDescriptors(const std::vector<uint8_t>& device, const std::vector<uint8_t>& configuration);

}  // namespace session
