// Bounded descriptor walks; see descriptor_walk.h.
#include "emulator/usb/descriptor_walk.h"

#include "emulator/usb/memory_bounds.h"

#include <cstring>

namespace emu::usb {

DescriptorWalker::DescriptorWalker(const uint8_t* begin, size_t size, size_t startOffset)
    : begin_(begin), size_(size), offset_(startOffset)
{
}

const USB_COMMON_DESCRIPTOR* DescriptorWalker::Next()
{
    if (begin_ == nullptr || offset_ >= size_ || size_ - offset_ < sizeof(USB_COMMON_DESCRIPTOR)) {
        return nullptr;
    }
    const auto* descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(begin_ + offset_);
    if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || descriptor->bLength > size_ - offset_) {
        offset_ = size_;
        return nullptr;
    }
    offset_ += descriptor->bLength;
    return descriptor;
}

uint16_t EndpointInfo::MaximumPacketSize() const
{
    const uint16_t base = wMaxPacketSize & 0x7FF;
    const uint16_t extra = (wMaxPacketSize >> 11) & 3;
    return static_cast<uint16_t>(base * (1 + extra));
}

const InterfaceInfo* ParsedConfiguration::Find(uint8_t number, uint8_t alternate) const
{
    for (const auto& interface : interfaces) {
        if (interface.descriptor.bInterfaceNumber == number && interface.descriptor.bAlternateSetting == alternate) {
            return &interface;
        }
    }
    return nullptr;
}

// Adds an endpoint descriptor to the interface it follows, up to the count
// that interface announced; endpoints before any interface are ignored.
// Returns the endpoint added, else null.
static EndpointInfo* AddEndpoint(ParsedConfiguration& parsed, const USB_COMMON_DESCRIPTOR* descriptor)
{
    if (parsed.interfaces.empty() || descriptor->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
        return nullptr;
    }
    InterfaceInfo& owner = parsed.interfaces.back();
    if (owner.endpoints.size() >= owner.descriptor.bNumEndpoints) {
        return nullptr;
    }
    USB_ENDPOINT_DESCRIPTOR endpoint;
    std::memcpy(&endpoint, descriptor, sizeof endpoint);
    owner.endpoints.push_back({endpoint.bEndpointAddress, endpoint.bmAttributes, endpoint.wMaxPacketSize,
                               endpoint.bInterval});
    return &owner.endpoints.back();
}

std::optional<ParsedConfiguration> ParseConfiguration(const uint8_t* block, size_t size)
{
    if (block == nullptr || size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return std::nullopt;
    }
    ParsedConfiguration parsed;
    std::memcpy(&parsed.header, block, sizeof parsed.header);
    const size_t limit = parsed.header.wTotalLength < size ? parsed.header.wTotalLength : size;
    DescriptorWalker walker(block, limit);
    EndpointInfo* previous = nullptr;  // the endpoint the descriptor before this one added
    while (const USB_COMMON_DESCRIPTOR* descriptor = walker.Next()) {
        EndpointInfo* added = nullptr;
        if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            descriptor->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            InterfaceInfo interface;
            std::memcpy(&interface.descriptor, descriptor, sizeof interface.descriptor);
            parsed.interfaces.push_back(std::move(interface));
        } else if (descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            added = AddEndpoint(parsed, descriptor);
        } else if (descriptor->bDescriptorType == SuperSpeedCompanionType && previous != nullptr &&
                   descriptor->bLength >= SuperSpeedCompanionSize) {
            previous->companion = true;
        }
        previous = added;
    }
    return parsed;
}

size_t ReadableConfigurationBytes(const void* config, size_t knownSize)
{
    const size_t headerBytes = offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) + sizeof(USHORT);
    if (config == nullptr || AccessibleBytes(config, headerBytes) < headerBytes || knownSize < headerBytes) {
        return 0;
    }
    USHORT totalLength;
    std::memcpy(&totalLength, static_cast<const uint8_t*>(config) + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength),
                sizeof totalLength);
    size_t readable = AccessibleBytes(config, totalLength);
    return readable < knownSize ? readable : knownSize;
}

}  // namespace emu::usb
