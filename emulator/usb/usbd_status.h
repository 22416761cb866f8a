// The one place where URB outcomes (USBD_STATUS) and request outcomes
// (NTSTATUS) are translated into each other.
#pragma once

#include "emulator/usb/usb_api.h"

namespace emu::usb {

// The IRP status a bus driver gives a URB that ended with `status`.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

// The URB status that goes with an IRP status a test chose for a transfer.
USBD_STATUS UsbdStatusFromNt(NTSTATUS status);

}  // namespace emu::usb
