// The memory a URB and its data occupy, as the bus may use it: the data
// through the MDL when there is one, else through the buffer address.
#pragma once

#include "emulator/usb/usb_api.h"

#include <cstdint>

namespace emu::usb {

// Sets *address to where `length` bytes of the URB's data are (null for a
// zero length). On a buffer the bus cannot use (none given, an MDL shorter
// than the transfer, a pool buffer shorter than the transfer) reports it to
// the verifier under `routine` and returns USBD_STATUS_INVALID_PARAMETER.
USBD_STATUS ResolveTransferBuffer(PMDL mdl, PVOID buffer, ULONG length, const char* routine, uint8_t** address);

// The URB really has `size` bytes: its header says so and, when it lives in
// the pool, its block is that large.
bool UrbHolds(PURB urb, size_t size);

}  // namespace emu::usb
