// The echo devices' dispatch routines: each records how the request
// arrived, then answers it at once or holds it.
#include "tests/system/echo/echo_driver.h"

extern "C" {

NTSTATUS EchoComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PUCHAR EchoBufferOf(PIRP Irp, ULONG Kind)
{
    if (Kind == EchoDirect) {
        return Irp->MdlAddress == nullptr
                   ? nullptr
                   : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    }
    return static_cast<PUCHAR>(Kind == EchoNeither ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer);
}

void EchoFill(PUCHAR Buffer, ULONG Length)
{
    for (ULONG i = 0; Buffer != nullptr && i < Length; ++i) {
        Buffer[i] = EchoPattern(i);
    }
}

static void Log(UCHAR Major, PFILE_OBJECT File)
{
    LONG slot = InterlockedIncrement(&EchoEvents.Count) - 1;
    if (slot < 128) {
        EchoEvents.Entries[slot].Major = Major;
        EchoEvents.Entries[slot].File = File;
    }
}

static void RecordData(EchoRequestView* View, const UCHAR* Data, ULONG Length)
{
    View->DataLength = 0;
    for (ULONG i = 0; Data != nullptr && i < Length && i < EchoMaxData; ++i) {
        View->Data[i] = Data[i];
        View->DataLength = i + 1;
    }
}

static EchoRequestView* RecordArrival(EchoDevice* Echo, PIRP Irp, ULONG Length, ULONG InputLength)
{
    EchoRequestView* view = &Echo->Last;
    PMDL mdl = Irp->MdlAddress;
    view->Irql = KeGetCurrentIrql();
    view->RequestorMode = static_cast<UCHAR>(Irp->RequestorMode);
    view->HadMdl = mdl != nullptr;
    view->HadSystemBuffer = Irp->AssociatedIrp.SystemBuffer != nullptr;
    view->UserBuffer = Irp->UserBuffer;
    view->Type3InputBuffer = nullptr;
    view->MdlVirtualAddress = mdl == nullptr ? nullptr : MmGetMdlVirtualAddress(mdl);
    view->MdlSystemAddress = mdl == nullptr ? nullptr : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    view->MdlByteCount = mdl == nullptr ? 0 : MmGetMdlByteCount(mdl);
    view->IrpFlags = Irp->Flags;
    view->Length = Length;
    view->InputLength = InputLength;
    view->DataLength = 0;
    return view;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL. A name of "\fail" is refused.
NTSTATUS EchoDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    UNICODE_STRING refused;
    RtlInitUnicodeString(&refused, L"\\fail");
    EchoOf(DeviceObject)->CreateNameLength = file->FileName.Length;
    Log(IRP_MJ_CREATE, file);
    return EchoComplete(Irp, RtlEqualUnicodeString(&file->FileName, &refused, FALSE) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS,
                        0);
}

// IRP_MJ_CLEANUP and IRP_MJ_CLOSE: logged and completed. Held requests are
// deliberately left alone, so that tests can see the close wait for them.
NTSTATUS EchoDispatchCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Log(stack->MajorFunction, stack->FileObject);
    return EchoComplete(Irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL in the caller's thread.
NTSTATUS EchoDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Read.Length;
    EchoRequestView* view = RecordArrival(echo, Irp, length, 0);
    PUCHAR buffer = EchoBufferOf(Irp, echo->Kind);
    if (stack->MajorFunction == IRP_MJ_WRITE) {
        RecordData(view, buffer, length);
    } else if (InterlockedCompareExchange(&echo->HoldReads, 0, 0) != 0) {
        return EchoHold(DeviceObject, Irp);
    } else {
        EchoFill(buffer, length);
    }
    return EchoComplete(Irp, STATUS_SUCCESS, length);
}

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL in the caller's thread. The
// METHOD_BUFFERED codes share SystemBuffer between input and output.
NTSTATUS EchoDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG echoed = in < out ? in : out;
    EchoRequestView* view = RecordArrival(EchoOf(DeviceObject), Irp, out, in);
    PUCHAR system = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    PUCHAR mapped = static_cast<PUCHAR>(view->MdlSystemAddress);
    RecordData(view, system, in);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ECHO_BUFFERED:
        for (ULONG i = 0; i < echoed; ++i) {
            system[i] = static_cast<UCHAR>(system[i] ^ 0xFF);
        }
        return EchoComplete(Irp, STATUS_SUCCESS, echoed);
    case IOCTL_ECHO_OVERREPORT:
        EchoFill(system, out);
        return EchoComplete(Irp, STATUS_SUCCESS, out + 16);
    case IOCTL_ECHO_FAIL:
        EchoFill(system, out);
        return EchoComplete(Irp, STATUS_UNSUCCESSFUL, 0);
    case IOCTL_ECHO_WARNING:
        EchoFill(system, out);
        return EchoComplete(Irp, STATUS_BUFFER_OVERFLOW, out);
    case IOCTL_ECHO_IN_DIRECT:
        RecordData(view, mapped, out);
        return EchoComplete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_ECHO_OUT_DIRECT:
        for (ULONG i = 0; mapped != nullptr && i < echoed; ++i) {
            mapped[i] = system[i];
        }
        return EchoComplete(Irp, STATUS_SUCCESS, echoed);
    case IOCTL_ECHO_NEITHER:
        view->Type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        return EchoComplete(Irp, STATUS_SUCCESS, 0);
    default:
        return EchoComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // extern "C"
