#include "driver/entry_points.h"
#include "io/complete_request.h"
#include "io/pipe_names.h"
#include "io/transfer_paths.h"
#include "usb/bus_requests.h"

// The checks every read and write passes, in this order: the device state,
// the handle's bulk pipe and its direction, the MDL, the length, the
// system-space mapping. A read on an OUT pipe would hand the bus the
// caller's buffer to send, and a write on an IN pipe would let the device
// write into it: both are refused like a handle without a bulk pipe.
// The I/O manager sends a request of length 0 without an MDL; it is told
// from a request that lacks its MDL by the length in its stack location.
// PASSIVE_LEVEL.
static NTSTATUS CheckTransferRequest(DeviceContext* Context, PIRP Irp, TransferRequest* Request, BOOLEAN IsRead)
{
    Request->Length = 0;
    Request->Buffer = nullptr;
    if (CurrentPnpState(Context) != DeviceRunning) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    Request->Pipe = PipeOfHandle(Context, Stack->FileObject);
    if (!Request->Pipe || Request->Pipe->PipeType != UsbdPipeTypeBulk ||
        (USBD_PIPE_DIRECTION_IN(Request->Pipe) != 0) != (IsRead != FALSE)) {
        return STATUS_INVALID_HANDLE;
    }
    const PMDL Mdl = Irp->MdlAddress;
    if (!Mdl) {
        return Stack->Parameters.Read.Length == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    Request->Length = MmGetMdlByteCount(Mdl);
    if (Request->Length > MaximumTransferLength) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->Length == 0) {
        return STATUS_SUCCESS;
    }
    Request->Buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority | MdlMappingNoExecute));
    return Request->Buffer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// A request that passed its checks and has a length ends in its own path;
// every other ends here. PASSIVE_LEVEL.
static NTSTATUS DispatchCheckedTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN IsRead)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    TransferRequest Request;
    const NTSTATUS Status = CheckTransferRequest(Context, Irp, &Request, IsRead);
    if (!NT_SUCCESS(Status) || Request.Length == 0) {
        return CompleteRequest(Irp, Status, 0);
    }
    if (IsRead) {
        return DispatchBulkRead(DeviceObject, Irp, &Request);
    }
    TransferContext* Transfer = AllocateTransferContext(Context, &Request);
    if (!Transfer) {
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    return RunTransfer(DeviceObject, Irp, Transfer, Request.Pipe, StartBulkWrite);
}

// The dispatch holds a reference of its own from before its look at the
// state until it returns, so that neither a stop nor a removal frees the
// pipe entry or detaches the lower device under its checks, its send or the
// resets after a failed send. PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN IsRead)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    if (!AcquireIoReferenceIfRunning(Context)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    const NTSTATUS Status = DispatchCheckedTransfer(DeviceObject, Irp, IsRead);
    ReleaseIoReference(Context);
    return Status;
}

// A send that failed at once has already finished its request: only the
// device object and the pipe entry are used here, under the reference the
// dispatch holds. PASSIVE_LEVEL; the request is no longer the caller's.
NTSTATUS RunTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext* Transfer,
                     PUSBD_PIPE_INFORMATION Pipe, TransferStart Start)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    IoMarkIrpPending(Irp);
    AcquireIoReference(Context);  // the transfer's, given back when it is finished

    if (ClassifyBusStatus(Start(Irp, Transfer)) == BusOutcome::Failed &&
        !NT_SUCCESS(SendPipeReset(DeviceObject, Pipe))) {
        ResetPortIfDisabled(DeviceObject);
    }
    return STATUS_PENDING;
}

// IRP_MJ_READ. PASSIVE_LEVEL, in the reader's thread.
extern "C" NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchReadWrite(DeviceObject, Irp, TRUE);
}

// IRP_MJ_WRITE. PASSIVE_LEVEL, in the writer's thread.
extern "C" NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchReadWrite(DeviceObject, Irp, FALSE);
}
