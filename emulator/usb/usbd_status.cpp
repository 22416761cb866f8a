// URB status <-> request status, as the USB port and hub drivers map them.
#include "emulator/usb/usbd_status.h"

namespace emu::usb {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status)
{
    if (USBD_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }
    switch (status) {
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NOT_SUPPORTED:
        return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

USBD_STATUS UsbdStatusFromNt(NTSTATUS status)
{
    if (NT_SUCCESS(status)) {
        return USBD_STATUS_SUCCESS;
    }
    switch (status) {
    case STATUS_CANCELLED:
        return USBD_STATUS_CANCELED;
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_NO_SUCH_DEVICE:
        return USBD_STATUS_DEVICE_GONE;
    case STATUS_NOT_SUPPORTED:
        return USBD_STATUS_NOT_SUPPORTED;
    case STATUS_INVALID_PARAMETER:
        return USBD_STATUS_INVALID_PARAMETER;
    case STATUS_INSUFFICIENT_RESOURCES:
        return USBD_STATUS_INSUFFICIENT_RESOURCES;
    default:
        return USBD_STATUS_XACT_ERROR;
    }
}

}  // namespace emu::usb
