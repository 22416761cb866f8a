// Bounded walks over USB descriptor blocks. Every reader of descriptors in
// the emulated bus goes through here, so that no length field inside a
// descriptor (bLength, wTotalLength) can make it read past the bytes that
// are really there.
#pragma once

#include "emulator/usb/usb_api.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace emu::usb {

// Hops from descriptor to descriptor by bLength inside [begin, begin + size).
// The walk ends at the end of the block, at a bLength below 2 (which would
// never advance, or could not hold a type) and at a descriptor that claims
// more bytes than remain; such a descriptor is never returned.
class DescriptorWalker {
public:
    DescriptorWalker(const uint8_t* begin, size_t size, size_t startOffset = 0);
    const USB_COMMON_DESCRIPTOR* Next();
    size_t Offset() const { return offset_; }

private:
    const uint8_t* begin_;
    size_t size_;
    size_t offset_;
};

// The SuperSpeed endpoint companion descriptor that follows each endpoint
// descriptor of a SuperSpeed device.
constexpr uint8_t SuperSpeedCompanionType = 0x30;
constexpr uint8_t SuperSpeedCompanionSize = 6;

// One endpoint as a configuration descriptor describes it.
struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;       // bmAttributes; the low two bits are the transfer type
    uint16_t wMaxPacketSize = 0;  // as in the descriptor
    uint8_t interval = 0;
    bool companion = false;       // a SuperSpeed endpoint companion descriptor follows it
    uint16_t MaximumPacketSize() const;  // bytes per (micro)frame, high-bandwidth multiplier applied
    bool In() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    uint8_t Type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
};

// One interface setting and the endpoints that follow it.
struct InterfaceInfo {
    USB_INTERFACE_DESCRIPTOR descriptor{};
    std::vector<EndpointInfo> endpoints;  // at most bNumEndpoints, in descriptor order
};

// What the bus reads out of a configuration descriptor block of `size`
// readable bytes: the header (if 9 bytes are there) and every interface
// setting, each with the endpoint descriptors that follow it before the next
// interface descriptor. Walks at most min(size, wTotalLength) bytes.
struct ParsedConfiguration {
    USB_CONFIGURATION_DESCRIPTOR header{};
    std::vector<InterfaceInfo> interfaces;
    const InterfaceInfo* Find(uint8_t number, uint8_t alternate) const;
};
std::optional<ParsedConfiguration> ParseConfiguration(const uint8_t* block, size_t size);

// Bytes of a configuration descriptor block that may be read: wTotalLength,
// cut to what lies inside the pool block holding it (when it is in the pool)
// and to `knownSize` (when the caller knows the size). 0 when not even
// wTotalLength can be read.
size_t ReadableConfigurationBytes(const void* config, size_t knownSize = SIZE_MAX);

}  // namespace emu::usb
