#include "include/pondrel.h"
#include "driver/entry_points.h"
#include "io/complete_request.h"
#include "io/pipe_names.h"
#include "usb/bus_requests.h"

static_assert(IOCTL_FETCH_CONFIGURATION == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x111, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PORT_RESET == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x112, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(IOCTL_PIPE_RESET == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x113, METHOD_BUFFERED, FILE_ANY_ACCESS));

// Copies the stored configuration descriptor, wTotalLength bytes, into the
// system buffer. The start checked that the device reported the same
// wTotalLength in both reads and delivered all of it, so the stored block
// holds exactly wTotalLength bytes and the copy never reads past it.
// PASSIVE_LEVEL.
static NTSTATUS FetchConfiguration(DeviceContext* Context, PIRP Irp, ULONG_PTR* Information)
{
    const PUSB_CONFIGURATION_DESCRIPTOR Descriptor = Context->ConfigDescriptor;
    if (!Descriptor) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG Length = Descriptor->wTotalLength;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < Length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Descriptor, Length);
    *Information = Length;
    return STATUS_SUCCESS;
}

// Resets the pipe that the handle stands for in the configuration in force.
// A device handle names no pipe; a pipe handle whose name no longer names a
// pipe (kept across a stop and a new start) is refused. PASSIVE_LEVEL; waits
// for the bus driver.
static NTSTATUS ResetHandlePipe(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT FileObject)
{
    if (!FileObject || !FileObject->FsContext) {
        return STATUS_INVALID_PARAMETER;
    }
    const PUSBD_PIPE_INFORMATION Pipe = PipeOfHandle(ContextOf(DeviceObject), FileObject);
    if (!Pipe) {
        return STATUS_INVALID_HANDLE;
    }
    return SendPipeReset(DeviceObject, Pipe);
}

// Codes are compared as whole 32-bit values: a code that differs in its
// method, access or device type is none of the three. PASSIVE_LEVEL.
static NTSTATUS RunControlCode(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG_PTR* Information)
{
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_FETCH_CONFIGURATION:
        return FetchConfiguration(ContextOf(DeviceObject), Irp, Information);
    case IOCTL_PORT_RESET:
        return ResetPortIfDisabled(DeviceObject);
    case IOCTL_PIPE_RESET:
        return ResetHandlePipe(DeviceObject, Stack->FileObject);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL, in the caller's thread; may wait in
// the resets. Completes the request on every path and never passes it down.
// The I/O reference makes a stop, removal or power-down wait for the code to
// finish; it is given back after the completion.
extern "C" NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* Context = ContextOf(DeviceObject);
    if (!AcquireIoReferenceIfRunning(Context)) {
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    ULONG_PTR Information = 0;
    const NTSTATUS Status = RunControlCode(DeviceObject, Irp, &Information);
    CompleteRequest(Irp, Status, Information);
    ReleaseIoReference(Context);
    return Status;
}
