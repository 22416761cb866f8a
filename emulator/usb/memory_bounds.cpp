// Bounds of driver-supplied memory, from the pool's own bookkeeping.
#include "emulator/usb/memory_bounds.h"

#include "emulator/kernel/system.h"

#include <cstdint>

namespace emu::usb {

// Bytes from `address` to the end of the pool block holding it, or nothing
// when the address is not inside a live block.
static bool BytesToBlockEnd(const void* address, size_t* remaining)
{
    const void* start = nullptr;
    SIZE_T size = 0;
    if (address == nullptr || !emu::pool::FindBlock(address, &start, &size)) {
        return false;
    }
    const auto offset = static_cast<size_t>(static_cast<const uint8_t*>(address) - static_cast<const uint8_t*>(start));
    *remaining = offset < size ? size - offset : 0;
    return true;
}

size_t AccessibleBytes(const void* address, size_t wanted)
{
    size_t remaining = 0;
    if (!BytesToBlockEnd(address, &remaining)) {
        return wanted;
    }
    return remaining < wanted ? remaining : wanted;
}

bool OverrunsPoolBlock(const void* address, size_t n)
{
    size_t remaining = 0;
    return BytesToBlockEnd(address, &remaining) && n > remaining;
}

}  // namespace emu::usb
