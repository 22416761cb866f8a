// Internal: how the IRP and work-item code reaches the observer.
#pragma once

#include "emulator/kernel/system.h"

namespace emu::observe {
void Notify(Point point, const void* object, PDEVICE_OBJECT device);
}
