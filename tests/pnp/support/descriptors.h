// Configuration descriptors for emulated test devices, built from a short
// description, and the edits that make them malformed.
#pragma once

#include "emulator/usb/device_model.h"

#include <cstdint>
#include <vector>

namespace pondrel::test {

struct InterfaceDesc {
    uint8_t number;
    uint8_t alternate = 0;
    std::vector<uint8_t> endpoints;  // addresses of bulk endpoints, 512-byte packets
};

// bNumInterfaces counts the alternate-setting-0 interfaces; wTotalLength is
// the size of the block.
std::vector<uint8_t> ConfigDescriptor(uint8_t attributes, const std::vector<InterfaceDesc>& interfaces);

void SetTotalLength(std::vector<uint8_t>& config, uint16_t totalLength);

// The built-in device with another configuration descriptor.
emu::usb::DeviceModel ModelWithConfig(std::vector<uint8_t> config);

// One interface 0 with a bulk OUT 0x01 and a bulk IN 0x81 endpoint.
std::vector<uint8_t> TwoBulkPipes(uint8_t attributes = 0xA0);

}  // namespace pondrel::test
