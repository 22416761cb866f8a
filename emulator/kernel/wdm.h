// The Windows kernel as a WDM driver sees it, declared for the emulator:
// the DDK's names, signatures and x86-64 layouts, C linkage for every
// routine. platform/kernel.h includes this on Linux instead of <ntddk.h>.
// Nothing here comes from the C++ standard library, so the driver (C++17,
// -fshort-wchar) and the emulator (C++20) share one set of declarations.
#pragma once

#include "emulator/kernel/wdm_base.h"
#include "emulator/kernel/wdm_objects.h"
#include "emulator/kernel/wdm_routines.h"
#include "emulator/kernel/wdm_inline.h"
