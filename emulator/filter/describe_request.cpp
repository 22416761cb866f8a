// Reads what the lower filter records of a request from the request itself.
#include "emulator/filter/seen_request.h"

#include <cstddef>
#include <cstring>

namespace emu::filter {
namespace {

// A select-configuration URB: the interfaces it selects, and the transfer
// sizes asked for the first one's pipes.
void DescribeSelectConfiguration(PURB urb, SeenRequest& seen)
{
    seen.deconfigure = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
    if (seen.deconfigure) {
        return;
    }
    auto* position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    while (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        if (interface->Length == 0) {
            return;
        }
        if (seen.selectedInterfaces.empty()) {
            for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe) {
                seen.firstInterfaceMaxTransfer.push_back(interface->Pipes[pipe].MaximumTransferSize);
            }
        }
        seen.selectedInterfaces.push_back(interface->InterfaceNumber);
        position += interface->Length;
    }
}

void DescribeUrb(PURB urb, SeenRequest& seen)
{
    seen.urbFunction = urb->UrbHeader.Function;
    seen.urbHeaderClear = urb->UrbHeader.Status == 0 && urb->UrbHeader.UsbdDeviceHandle == nullptr &&
                          urb->UrbHeader.UsbdFlags == 0;
    switch (seen.urbFunction) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        seen.pipeHandle = urb->UrbPipeRequest.PipeHandle;
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        DescribeSelectConfiguration(urb, seen);
        break;
    default:
        break;
    }
}

}  // namespace

// Any IRQL the request may arrive at; reads only the request.
SeenRequest DescribeRequest(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SeenRequest seen;
    seen.major = stack->MajorFunction;
    seen.minor = stack->MinorFunction;
    seen.statusOnArrival = irp->IoStatus.Status;
    if (seen.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        seen.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        if (seen.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            DescribeUrb(static_cast<PURB>(stack->Parameters.Others.Argument1), seen);
        }
    }
    if (seen.major == IRP_MJ_POWER && seen.minor == IRP_MN_WAIT_WAKE) {
        std::memcpy(&seen.powerState, &stack->Parameters.WaitWake.PowerState, sizeof(seen.powerState));
    } else if (seen.major == IRP_MJ_POWER) {
        std::memcpy(&seen.powerType, &stack->Parameters.Power.Type, sizeof(seen.powerType));
        std::memcpy(&seen.powerState, &stack->Parameters.Power.State, sizeof(seen.powerState));
    }
    return seen;
}

}  // namespace emu::filter
