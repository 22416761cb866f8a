#include "usb/internal_request.h"

PIRP BuildInternalRequest(DeviceContext* Context, ULONG IoControlCode, PVOID Argument,
                          InternalRequestWait* Wait)
{
    KeInitializeEvent(&Wait->Event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Context->LowerDevice, nullptr, 0, nullptr, 0,
                                             TRUE, &Wait->Event, &Wait->IoStatus);
    if (irp != nullptr && Argument != nullptr) {
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
    }
    return irp;
}

// The status block is read only after a pending request: a request failed at
// once does not write it.
NTSTATUS CallAndWait(DeviceContext* Context, PIRP Irp, InternalRequestWait* Wait)
{
    NTSTATUS status = IofCallDriver(Context->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&Wait->Event, Executive, KernelMode, FALSE, nullptr);
        status = Wait->IoStatus.Status;
    }
    return status;
}
