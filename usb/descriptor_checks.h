// Checks on configuration descriptors as a device returned them. A device is
// not trusted: nothing is read from a block before it has passed these.
// Any IRQL; they only read the block.
#pragma once

#include "platform/usb.h"

// The 9-byte header read: all 9 bytes arrived, it is a configuration
// descriptor, and wTotalLength can hold at least the header itself.
bool IsSoundConfigHeader(const UCHAR* Header, ULONG Delivered);

// The whole configuration read of TotalLength bytes (the header's
// wTotalLength): all of them arrived, the block reports the same
// wTotalLength, and every descriptor in it has a bLength of at least 2 (at
// least the structure's size for configuration, interface and endpoint
// descriptors) that ends inside the block.
bool IsSoundConfigDescriptor(const UCHAR* Block, ULONG Delivered, USHORT TotalLength);
