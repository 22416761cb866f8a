// What the lower filter records of each request that reaches it from the
// driver above: the request's codes and the parameters a test or a session
// wants to check, and what became of it.
#pragma once

#include "emulator/usb/usb_api.h"

#include <vector>

namespace emu::filter {

struct SeenRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS statusOnArrival = 0;   // IoStatus.Status as the driver above passed it down
    ULONG ioControlCode = 0;        // internal device control
    USHORT urbFunction = 0xFFFF;    // IOCTL_INTERNAL_USB_SUBMIT_URB
    bool urbHeaderClear = false;    // the URB's Status, UsbdDeviceHandle and UsbdFlags arrived zero
    USBD_PIPE_HANDLE pipeHandle = nullptr;      // abort and reset requests
    std::vector<UCHAR> selectedInterfaces;      // select-configuration: interface numbers, in order
    std::vector<ULONG> firstInterfaceMaxTransfer;  // select-configuration: first interface's pipes
    bool deconfigure = false;       // select-configuration without a configuration
    // Power: copied as sent, since a driver may send values outside the enumerations.
    ULONG powerType = 0;            // set and query
    LONG powerState = 0;            // the target state, or a wait-wake request's system state
    // The driver above as its observer describes it when the request arrived
    // (LowerFilter::Watch); zero without an observer.
    LONG driverState = 0;           // its own PnP state
    LONG ioRefCount = 0;            // its own count of requests in progress
    bool driverAttached = false;    // the watched device object still sits above the filter
    bool driverDeletePending = false;  // IoDeleteDevice was already called on it
    NTSTATUS lowerReturned = STATUS_PENDING;  // what the PDO returned for a PnP request passed on
    // What the filter did with it: passed on, completed with `answer`, or held.
    enum class Fate { Passed, Completed, Held, KeptWaitWake };
    Fate fate = Fate::Passed;
    NTSTATUS answer = STATUS_SUCCESS;
};

// The request's codes and parameters, from its current stack location.
SeenRequest DescribeRequest(PIRP irp);

}  // namespace emu::filter
