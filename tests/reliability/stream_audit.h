// The check of the loopback stream of a checked life, made while the
// application threads are paused: what the device received is the writer's
// writes in order (each failed one cut short), what the reader got is the
// start of it, and the rest can still be read, once, in order, and nothing
// beyond it.
#pragma once

#include "emulator/usb/usb_device.h"
#include "tests/reliability/life_context.h"

namespace lives {

void AuditStream(LifeContext& life, emu::usb::UsbDevice& device);

// The position of the first byte where `read` and `sent` differ, or
// read.size() when `read` is the start of `sent`.
size_t FirstDifference(const std::vector<uint8_t>& read, const std::vector<uint8_t>& sent);

}  // namespace lives
