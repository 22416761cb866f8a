// The USB bus driver as the driver sees it: URBs, descriptors, internal
// device-control codes and the bus library routines, under the platform's
// own names.
#pragma once

#include "platform/kernel.h"

#if defined(_WIN32)
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#else
#include "emulator/usb/usb_api.h"
#endif

#include "platform/usb_layout_checks.h"
