// The kernel as the driver sees it: types, routines and constants of the
// Windows kernel, under their own names. On Windows this is the DDK; on Linux
// it is the emulator's declaration of the same surface with the same x86-64
// layouts. Driver code includes this header and platform/usb.h, nothing else.
#pragma once

#if defined(_WIN32)
extern "C" {
#include <ntddk.h>
}
// Windows 8 and later: a system mapping that is not executable. The
// mingw-w64 headers lack the flag and take the priority as the bare enum,
// where the current kit takes a ULONG with the flag or'ed in.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#undef MmGetSystemAddressForMdlSafe
inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, static_cast<MM_PAGE_PRIORITY>(Priority));
}
#endif
#else
#include "emulator/kernel/wdm.h"
#endif

#include "platform/layout_checks.h"
