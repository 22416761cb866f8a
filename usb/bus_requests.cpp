#include "usb/bus_requests.h"

#include "usb/internal_request.h"
#include "usb/pipe_request.h"

// Sends one URB that the caller built (and frees after the return) and waits
// for the bus driver. Holds an I/O reference while the URB is with the bus
// driver, so that drains wait for it. PASSIVE_LEVEL. The result is the
// request's status; the URB's own status is not looked at.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb)
{
    DeviceContext* context = ContextOf(DeviceObject);
    InternalRequestWait wait;
    PIRP irp = BuildInternalRequest(context, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, &wait);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    AcquireIoReference(context);
    NTSTATUS status = CallAndWait(context, irp, &wait);
    ReleaseIoReference(context);
    return status;
}

// Resets one pipe of the selected interface (clears a halt and the data
// toggle). PASSIVE_LEVEL. Every success status becomes STATUS_SUCCESS.
NTSTATUS SendPipeReset(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe)
{
    _URB_PIPE_REQUEST* urb = AllocatePipeRequest();
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrbSync(DeviceObject, FillPipeRequest(urb, URB_FUNCTION_RESET_PIPE, Pipe));
    ExFreePool(urb);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// Resets the device's upstream port, but only when the device is connected
// and the port is disabled; otherwise returns the status query's result.
// Takes no I/O reference. PASSIVE_LEVEL.
NTSTATUS ResetPortIfDisabled(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    ULONG portStatus = 0;
    InternalRequestWait wait;

    PIRP irp = BuildInternalRequest(context, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &wait);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = CallAndWait(context, irp, &wait);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const bool enabled = (portStatus & USBD_PORT_ENABLED) != 0;
    const bool connected = (portStatus & USBD_PORT_CONNECTED) != 0;
    if (enabled || !connected) {
        return status;
    }

    irp = BuildInternalRequest(context, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &wait);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return CallAndWait(context, irp, &wait);
}
