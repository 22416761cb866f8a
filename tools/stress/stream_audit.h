// The check of the loopback stream of a checked life, made while the
// application threads are paused: what the device received is the writer's
// writes in order (each failed one cut short), what the reader got is the
// start of it, and the rest can still be read, once, in order, and nothing
// beyond it.
#pragma once

#include "emulator/usb/usb_device.h"
#include "tools/stress/life_context.h"

namespace lives {

void AuditStream(LifeContext& life, emu::usb::UsbDevice& device);

}  // namespace lives
