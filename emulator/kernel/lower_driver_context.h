// A driver below the one that sent a request owns the request's
// Tail.Overlay.DriverContext while it holds it (a device queue overlays the
// four slots, a cancel-safe queue keeps its context in the last). The
// emulated lower drivers write all four whenever a request reaches them, so
// that a driver above that reads its own value back after the request has
// been down fails at once instead of by luck.
#pragma once

#include "emulator/kernel/wdm.h"

#include <cstdint>

namespace emu {

// Non-canonical addresses: dereferencing one faults on every x86-64 machine.
inline void ClaimLowerDriverContext(PIRP irp)
{
    for (uintptr_t slot = 0; slot < 4; ++slot) {
        irp->Tail.Overlay.DriverContext[slot] = reinterpret_cast<PVOID>(uintptr_t{0xDEAD0C0DE0000000} + slot * 8);
    }
}

}  // namespace emu
