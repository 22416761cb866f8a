// Handles and transfers: a handle opened with a name ending in digits is a
// pipe handle; reads and writes on it become bulk URBs sent with the
// caller's own request.
#include "tests/system/passthrough/passthrough.h"

extern "C" {

// The pipe index in the decimal digits that end the name, or -1.
static LONG PipeIndexOf(PCUNICODE_STRING Name)
{
    LONG index = 0;
    LONG scale = 1;
    for (USHORT at = Name->Length / sizeof(WCHAR); at > 0 && scale <= 1000; --at, scale *= 10) {
        WCHAR digit = Name->Buffer[at - 1];
        if (digit < '0' || digit > '9') {
            break;
        }
        index += (digit - '0') * scale;
    }
    return scale == 1 ? -1 : index;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL. FsContext holds the pipe index plus one, so
// that a handle survives the reconfiguration of a stop and restart.
NTSTATUS PassthroughDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassthroughDevice* device = PassthroughOf(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (device->State != PassthroughStarted) {
        return PassthroughComplete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    if (file->FileName.Length == 0) {
        file->FsContext = nullptr;
        return PassthroughComplete(Irp, STATUS_SUCCESS, 0);
    }
    LONG index = PipeIndexOf(&file->FileName);
    if (index < 0 || static_cast<ULONG>(index) >= device->Interface->NumberOfPipes) {
        return PassthroughComplete(Irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    file->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(index) + 1);
    return PassthroughComplete(Irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_CLEANUP and IRP_MJ_CLOSE: nothing is queued here, and they are
// served in every state. PASSIVE_LEVEL.
NTSTATUS PassthroughDispatchCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return PassthroughComplete(Irp, STATUS_SUCCESS, 0);
}

// The bus has finished a transfer. Up to DISPATCH_LEVEL; the request goes
// on up to the application.
static NTSTATUS TransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PURB urb = static_cast<PURB>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    Irp->IoStatus.Information = NT_SUCCESS(Irp->IoStatus.Status) ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    ExFreePool(urb);
    PassthroughReleaseIo(PassthroughOf(DeviceObject));
    return STATUS_SUCCESS;
}

static NTSTATUS CheckPipe(PassthroughDevice* Device, PIO_STACK_LOCATION Stack, PUSBD_PIPE_INFORMATION* Pipe)
{
    if (Device->State != PassthroughStarted) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG_PTR slot = reinterpret_cast<ULONG_PTR>(Stack->FileObject->FsContext);
    if (slot == 0 || slot > Device->Interface->NumberOfPipes) {
        return STATUS_INVALID_HANDLE;
    }
    PUSBD_PIPE_INFORMATION pipe = &Device->Interface->Pipes[slot - 1];
    bool in = (pipe->EndpointAddress & 0x80) != 0;
    if (in != (Stack->MajorFunction == IRP_MJ_READ) || pipe->PipeType == UsbdPipeTypeControl ||
        pipe->PipeType == UsbdPipeTypeIsochronous) {
        return STATUS_INVALID_PARAMETER;
    }
    *Pipe = pipe;
    return STATUS_SUCCESS;
}

// IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL in the caller's thread; the
// request belongs to the bus once it has gone down.
NTSTATUS PassthroughDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassthroughDevice* device = PassthroughOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    bool read = stack->MajorFunction == IRP_MJ_READ;
    ULONG length = read ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;

    PassthroughAcquireIo(device);
    PUSBD_PIPE_INFORMATION pipe = nullptr;
    NTSTATUS status = CheckPipe(device, stack, &pipe);
    PURB urb = nullptr;
    if (NT_SUCCESS(status) && length != 0) {
        urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                      PassthroughPoolTag));
        status = urb == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    }
    if (urb == nullptr) {
        PassthroughReleaseIo(device);
        return PassthroughComplete(Irp, status, 0);
    }

    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe->PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = Irp->MdlAddress;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Flags = 0;
    next->FileObject = stack->FileObject;
    RtlZeroMemory(&next->Parameters, sizeof(next->Parameters));
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(Irp, TransferCompletion, urb, TRUE, TRUE, TRUE);
    return IoCallDriver(device->Lower, Irp);
}

// Everything else goes to the bus unchanged while the device is attached.
// The caller's IRQL; the request belongs to the lower drivers afterwards.
NTSTATUS PassthroughDispatchForward(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassthroughDevice* device = PassthroughOf(DeviceObject);
    if (device->State == PassthroughRemoved) {
        return PassthroughComplete(Irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(device->Lower, Irp);
}

}  // extern "C"
