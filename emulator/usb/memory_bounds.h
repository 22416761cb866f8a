// How far the bus may read or write from a pointer a driver handed it. A bare
// pointer carries no size; when it points into a live pool block, the pool
// knows where that block ends. Elsewhere the caller's own length is trusted.
// An address just past the end of a block lies in no block, so bound a
// range from its start, not element by element.
#pragma once

#include <cstddef>

namespace emu::usb {

// min(wanted, bytes from `address` to the end of its pool block); `wanted`
// when the address is not in the pool.
size_t AccessibleBytes(const void* address, size_t wanted);

// True when `address` lies in a live pool block and [address, address + n)
// runs past its end.
bool OverrunsPoolBlock(const void* address, size_t n);

}  // namespace emu::usb
