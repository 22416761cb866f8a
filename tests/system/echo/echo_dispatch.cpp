// The echo devices' dispatch routines: each records how the request
// arrived, then answers it at once or holds it.
#include "tests/system/echo/echo_driver.h"

extern "C" {

NTSTATUS EchoHold(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN EchoHoldsReads(EchoDevice* Echo);

static EchoDevice* EchoOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<EchoDevice*>(DeviceObject->DeviceExtension);
}

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static void Log(UCHAR Major, PFILE_OBJECT File)
{
    LONG slot = InterlockedIncrement(&EchoEvents.Count) - 1;
    if (slot < 128) {
        EchoEvents.Entries[slot].Major = Major;
        EchoEvents.Entries[slot].File = File;
    }
}

static PVOID SystemAddressOf(PMDL Mdl)
{
    return Mdl == nullptr ? nullptr : MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
}

static void RecordData(EchoRequestView* View, const UCHAR* Data, ULONG Length)
{
    View->DataLength = 0;
    for (ULONG i = 0; Data != nullptr && i < Length && i < EchoMaxData; ++i) {
        View->Data[i] = Data[i];
        View->DataLength = i + 1;
    }
}

static void RecordArrival(EchoDevice* Echo, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    EchoRequestView* view = &Echo->Last;
    view->Major = Stack->MajorFunction;
    view->Irql = KeGetCurrentIrql();
    view->RequestorMode = static_cast<UCHAR>(Irp->RequestorMode);
    view->HadMdl = Irp->MdlAddress != nullptr;
    view->HadSystemBuffer = Irp->AssociatedIrp.SystemBuffer != nullptr;
    view->UserBuffer = Irp->UserBuffer;
    view->Type3InputBuffer = nullptr;
    view->MdlVirtualAddress = Irp->MdlAddress == nullptr ? nullptr : MmGetMdlVirtualAddress(Irp->MdlAddress);
    view->MdlSystemAddress = SystemAddressOf(Irp->MdlAddress);
    view->MdlByteCount = Irp->MdlAddress == nullptr ? 0 : MmGetMdlByteCount(Irp->MdlAddress);
    view->IrpFlags = Irp->Flags;
    view->InputLength = 0;
    view->DataLength = 0;
}

static bool IsRefusedName(PCUNICODE_STRING Name)
{
    static const char refused[] = "\\fail";
    const USHORT characters = sizeof(refused) - 1;
    if (Name->Length != characters * sizeof(WCHAR)) {
        return false;
    }
    for (USHORT i = 0; i < characters; ++i) {
        if (Name->Buffer[i] != static_cast<WCHAR>(refused[i])) {
            return false;
        }
    }
    return true;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL. A name of "\fail" is refused.
NTSTATUS EchoDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    USHORT length = file->FileName.Length;
    if (length > sizeof(echo->CreateName)) {
        length = sizeof(echo->CreateName);
    }
    RtlCopyMemory(echo->CreateName, file->FileName.Buffer, length);
    echo->CreateNameLength = length;
    Log(IRP_MJ_CREATE, file);
    return Complete(Irp, IsRefusedName(&file->FileName) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS, 0);
}

// IRP_MJ_CLEANUP and IRP_MJ_CLOSE: logged and completed. Held requests are
// deliberately left alone, so that tests can see the close wait for them.
NTSTATUS EchoDispatchCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Log(stack->MajorFunction, stack->FileObject);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static PUCHAR BufferOf(EchoDevice* Echo, PIRP Irp)
{
    if (Echo->Kind == EchoDirect) {
        return static_cast<PUCHAR>(Echo->Last.MdlSystemAddress);
    }
    if (Echo->Kind == EchoNeither) {
        return static_cast<PUCHAR>(Irp->UserBuffer);
    }
    return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
}

// IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL in the caller's thread.
NTSTATUS EchoDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    RecordArrival(echo, Irp, stack);
    ULONG length = stack->Parameters.Read.Length;
    echo->Last.Length = length;
    PUCHAR buffer = BufferOf(echo, Irp);
    if (stack->MajorFunction == IRP_MJ_WRITE) {
        RecordData(&echo->Last, buffer, length);
        return Complete(Irp, STATUS_SUCCESS, length);
    }
    if (EchoHoldsReads(echo)) {
        return EchoHold(DeviceObject, Irp);
    }
    for (ULONG i = 0; buffer != nullptr && i < length; ++i) {
        buffer[i] = EchoPattern(i);
    }
    return Complete(Irp, STATUS_SUCCESS, length);
}

static void FillPattern(PUCHAR Buffer, ULONG Length)
{
    for (ULONG i = 0; Buffer != nullptr && i < Length; ++i) {
        Buffer[i] = EchoPattern(i);
    }
}

// METHOD_BUFFERED codes: the input and the output share SystemBuffer.
static NTSTATUS BufferedControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, ULONG In, ULONG Out)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    RecordData(&echo->Last, buffer, In);
    switch (Code) {
    case IOCTL_ECHO_BUFFERED: {
        ULONG echoed = In < Out ? In : Out;
        for (ULONG i = 0; i < echoed; ++i) {
            buffer[i] = static_cast<UCHAR>(buffer[i] ^ 0xFF);
        }
        return Complete(Irp, STATUS_SUCCESS, echoed);
    }
    case IOCTL_ECHO_OVERREPORT:
        FillPattern(buffer, Out);
        return Complete(Irp, STATUS_SUCCESS, Out + 16);
    case IOCTL_ECHO_FAIL:
        FillPattern(buffer, Out);
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    case IOCTL_ECHO_WARNING:
        FillPattern(buffer, Out);
        return Complete(Irp, STATUS_BUFFER_OVERFLOW, Out);
    default:
        return EchoHold(DeviceObject, Irp);
    }
}

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL in the caller's thread.
NTSTATUS EchoDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    RecordArrival(echo, Irp, stack);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    echo->Last.Length = out;
    echo->Last.InputLength = in;
    switch (code) {
    case IOCTL_ECHO_BUFFERED:
    case IOCTL_ECHO_OVERREPORT:
    case IOCTL_ECHO_FAIL:
    case IOCTL_ECHO_WARNING:
    case IOCTL_ECHO_HOLD:
        return BufferedControl(DeviceObject, Irp, code, in, out);
    case IOCTL_ECHO_IN_DIRECT:
        RecordData(&echo->Last, static_cast<PUCHAR>(echo->Last.MdlSystemAddress), out);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_ECHO_OUT_DIRECT: {
        PUCHAR input = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
        PUCHAR output = static_cast<PUCHAR>(echo->Last.MdlSystemAddress);
        ULONG echoed = in < out ? in : out;
        for (ULONG i = 0; output != nullptr && i < echoed; ++i) {
            output[i] = input[i];
        }
        return Complete(Irp, STATUS_SUCCESS, echoed);
    }
    case IOCTL_ECHO_NEITHER:
        echo->Last.Type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // extern "C"
