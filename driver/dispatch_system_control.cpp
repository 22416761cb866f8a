#include "driver/device_context.h"
#include "driver/entry_points.h"

// The driver's IRP_MJ_SYSTEM_CONTROL entry. The driver registers no WMI
// data of its own, so every WMI request belongs to a driver below it and
// goes down untouched, in every state but DeviceRemoved, holding an I/O
// reference while it is passed on so that removal waits for the call.
// PASSIVE_LEVEL. Returns what the lower drivers returned; the request is
// theirs, or completed here with STATUS_DELETE_PENDING once removal began.
extern "C" NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    AcquireIoReference(context);
    if (CurrentPnpState(context) == DeviceRemoved) {
        ReleaseIoReference(context);
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(context->LowerDevice, Irp);
    ReleaseIoReference(context);
    return status;
}
