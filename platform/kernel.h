// The kernel as the driver sees it: types, routines and constants of the
// Windows kernel, under their own names. On Windows this is the DDK; on Linux
// it is the emulator's declaration of the same surface with the same x86-64
// layouts. Driver code includes this header and platform/usb.h, nothing else.
#pragma once

#if defined(_WIN32)
extern "C" {
#include <ntddk.h>
}
#else
#include "emulator/kernel/wdm.h"
#endif

#include "platform/layout_checks.h"
