#include "usb/descriptor_checks.h"

namespace {

constexpr ULONG TypeOffset = 1;
constexpr ULONG TotalLengthOffset = 2;

USHORT TotalLengthOf(const UCHAR* Block)
{
    return static_cast<USHORT>(Block[TotalLengthOffset] | (Block[TotalLengthOffset + 1] << 8));
}

// The smallest bLength a descriptor of this type may have: the library and
// the bus driver read that many bytes of it.
ULONG SmallestLengthOf(UCHAR DescriptorType)
{
    switch (DescriptorType) {
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        return sizeof(USB_CONFIGURATION_DESCRIPTOR);
    case USB_INTERFACE_DESCRIPTOR_TYPE:
        return sizeof(USB_INTERFACE_DESCRIPTOR);
    case USB_ENDPOINT_DESCRIPTOR_TYPE:
        return sizeof(USB_ENDPOINT_DESCRIPTOR);
    default:
        return 2;
    }
}

}  // namespace

bool IsSoundConfigHeader(const UCHAR* Header, ULONG Delivered)
{
    if (Delivered != sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return false;
    }
    return Header[TypeOffset] == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
           TotalLengthOf(Header) >= sizeof(USB_CONFIGURATION_DESCRIPTOR);
}

bool IsSoundConfigDescriptor(const UCHAR* Block, ULONG Delivered, USHORT TotalLength)
{
    if (Delivered != TotalLength || TotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return false;
    }
    if (Block[TypeOffset] != USB_CONFIGURATION_DESCRIPTOR_TYPE || TotalLengthOf(Block) != TotalLength) {
        return false;
    }

    ULONG offset = 0;
    while (offset < TotalLength) {
        const ULONG remaining = TotalLength - offset;
        if (remaining < 2) {
            return false;
        }
        const ULONG length = Block[offset];
        if (length < SmallestLengthOf(Block[offset + TypeOffset]) || length > remaining) {
            return false;
        }
        offset += length;
    }
    return true;
}
