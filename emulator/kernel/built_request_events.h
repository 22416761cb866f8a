// The events drivers gave IoBuildDeviceIoControlRequest: the I/O manager
// signals each when its request has been completed, and the driver that
// built the request neither signals it itself nor waits on it without a
// timeout while the request is outstanding.
#pragma once

#include "emulator/kernel/wdm.h"

namespace emu::kernel {

// Remembers that `event` belongs to the built request `irp`.
void NoteBuiltRequestEvent(PIRP irp, PKEVENT event);

// True while a request built with `event` has not been completed yet.
bool IsEventOfOutstandingBuiltRequest(const KEVENT* event);

}  // namespace emu::kernel
