#include "driver/entry_points.h"
#include "io/complete_request.h"
#include "io/pipe_names.h"
#include "io/read_ownership.h"

// Opens the device itself (empty name) or the pipe the name gives. Any
// number of handles may share a pipe. PASSIVE_LEVEL.
static NTSTATUS OpenHandle(DeviceContext* Context, PFILE_OBJECT FileObject)
{
    if (CurrentPnpState(Context) != DeviceRunning || !Context->InterfaceInfo) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!FileObject) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObject->FsContext = nullptr;
    if (FileObject->FileName.Length == 0) {
        return STATUS_SUCCESS;
    }
    ULONG Index;
    if (!PipeIndexFromName(Context, &FileObject->FileName, &Index)) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObject->FsContext = Context->InterfaceInfo->Pipes + Index;
    WritePipeOpenFlag(Context, Index, 1);
    return STATUS_SUCCESS;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL, in the opener's thread; completes the
// request. The I/O reference held while the handle is opened keeps a stop
// or removal from freeing the pipe table under it.
extern "C" NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    if (!AcquireIoReferenceIfRunning(Context)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    const NTSTATUS Status = OpenHandle(Context, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    CompleteRequest(Irp, Status, 0);
    ReleaseIoReference(Context);
    return Status;
}

// IRP_MJ_CLEANUP: the last handle to the file object is gone. Reads of the
// file object still waiting in the read queue end with STATUS_CANCELLED;
// reads and writes already with the bus end through their own completion.
// PASSIVE_LEVEL, in every device state; completes the request.
extern "C" NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    AcquireIoReference(Context);
    CancelQueuedReadsOfFile(Context, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    ReleaseIoReference(Context);
    return STATUS_SUCCESS;
}

// Clears the open flag of the pipe the handle names, on a running device
// only: the I/O reference keeps a stop or removal from freeing the flags
// while they are looked at, and a device that is not running either has no
// flags or is about to abort every flagged pipe anyway. PASSIVE_LEVEL.
static void ForgetOpenPipe(DeviceContext* Context, PFILE_OBJECT FileObject)
{
    if (!FileObject || !FileObject->FsContext || FileObject->FileName.Length == 0 ||
        !AcquireIoReferenceIfRunning(Context)) {
        return;
    }
    ULONG Index;
    if (PipeIndexFromName(Context, &FileObject->FileName, &Index)) {
        WritePipeOpenFlag(Context, Index, 0);
    }
    ReleaseIoReference(Context);
}

// IRP_MJ_CLOSE: the file object goes. The pipe's open flag is found again
// from the name, so a handle kept across a stop and a new start clears the
// flag of the pipe it names now. PASSIVE_LEVEL, in every device state;
// completes the request and never fails.
extern "C" NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ForgetOpenPipe(ContextOf(DeviceObject), IoGetCurrentIrpStackLocation(Irp)->FileObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
