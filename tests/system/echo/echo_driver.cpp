// The echo driver: loading and unloading, its named devices, dispatch
// routines that record how each request arrived and answer it at once, and
// reads held until a test completes or cancels them.
#include "tests/system/echo/echo_driver.h"

extern "C" {

EchoLog EchoEvents;
volatile LONG EchoHoldReads;
static PDRIVER_OBJECT EchoDriver;
PDEVICE_OBJECT EchoDevices[4];
static KSPIN_LOCK HeldLock;       // guards Held: a cancel and a completion race for a request
static PIRP Held[EchoMaxHeld];    // reads kept until completed or cancelled
static KEVENT HeldEvent;          // set each time a read is held

static const struct {
    PCWSTR Device;
    PCWSTR Link;
    ULONG Flags;
} EchoNames[4] = {
    {L"\\Device\\EchoBuffered", L"\\DosDevices\\EchoBuffered", DO_BUFFERED_IO},
    {L"\\Device\\EchoDirect", L"\\DosDevices\\EchoDirect", DO_DIRECT_IO},
    {L"\\Device\\EchoNeither", L"\\DosDevices\\EchoNeither", 0},
    {L"\\Device\\EchoLate", L"\\DosDevices\\EchoLate", DO_BUFFERED_IO},
};

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Where a read's or a write's bytes are for the device's buffering method.
static PUCHAR BufferOf(PIRP Irp, ULONG Kind)
{
    if (Kind == EchoDirect) {
        return Irp->MdlAddress == nullptr
                   ? nullptr
                   : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    }
    return static_cast<PUCHAR>(Kind == EchoNeither ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer);
}

static void Fill(PUCHAR Buffer, ULONG Length)
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

// Cancel routine of a held request. DISPATCH_LEVEL with the cancel lock
// held on entry; the request is completed here.
static void CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&HeldLock, &irql);
    for (ULONG i = 0; i < EchoMaxHeld; ++i) {
        Held[i] = Held[i] == Irp ? nullptr : Held[i];
    }
    KeReleaseSpinLock(&HeldLock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

// Keeps the request until EchoCompleteHeld or its cancel. PASSIVE_LEVEL;
// always returns STATUS_PENDING.
static NTSTATUS Hold(PIRP Irp)
{
    IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&HeldLock, &irql);
    ULONG slot = 0;
    while (slot < EchoMaxHeld && Held[slot] != nullptr) {
        ++slot;
    }
    NTSTATUS refusal = slot == EchoMaxHeld ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    if (NT_SUCCESS(refusal)) {
        (void)IoSetCancelRoutine(Irp, CancelHeld);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            refusal = STATUS_CANCELLED;
        } else {
            Held[slot] = Irp;  // a cancel routine already running takes it out again
        }
    }
    KeReleaseSpinLock(&HeldLock, irql);
    if (NT_SUCCESS(refusal)) {
        KeSetEvent(&HeldEvent, IO_NO_INCREMENT, FALSE);
    } else {
        Complete(Irp, refusal, 0);
    }
    return STATUS_PENDING;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL. A name of "\fail" is refused.
static NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    UNICODE_STRING refused;
    RtlInitUnicodeString(&refused, L"\\fail");
    EchoOf(DeviceObject)->CreateNameLength = file->FileName.Length;
    Log(IRP_MJ_CREATE, file);
    const bool refuse = RtlEqualUnicodeString(&file->FileName, &refused, FALSE);
    return Complete(Irp, refuse ? STATUS_ACCESS_DENIED : STATUS_SUCCESS, 0);
}

// IRP_MJ_CLEANUP and IRP_MJ_CLOSE: logged and completed. Held requests are
// deliberately left alone, so that tests can see the close wait for them.
static NTSTATUS DispatchCleanupClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Log(stack->MajorFunction, stack->FileObject);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL in the caller's thread.
static NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    EchoDevice* echo = EchoOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Read.Length;
    EchoRequestView* view = RecordArrival(echo, Irp, length, 0);
    PUCHAR buffer = BufferOf(Irp, echo->Kind);
    if (stack->MajorFunction == IRP_MJ_WRITE) {
        RecordData(view, buffer, length);
    } else if (InterlockedCompareExchange(&EchoHoldReads, 0, 0) != 0) {
        return Hold(Irp);
    } else {
        Fill(buffer, length);
    }
    return Complete(Irp, STATUS_SUCCESS, length);
}

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL in the caller's thread. The
// METHOD_BUFFERED codes share SystemBuffer between input and output.
static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
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
        return Complete(Irp, STATUS_SUCCESS, echoed);
    case IOCTL_ECHO_OVERREPORT:
        Fill(system, out);
        return Complete(Irp, STATUS_SUCCESS, out + 16);
    case IOCTL_ECHO_FAIL:
        Fill(system, out);
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    case IOCTL_ECHO_WARNING:
        Fill(system, out);
        return Complete(Irp, STATUS_BUFFER_OVERFLOW, out);
    case IOCTL_ECHO_IN_DIRECT:
        RecordData(view, mapped, out);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_ECHO_OUT_DIRECT:
        for (ULONG i = 0; mapped != nullptr && i < echoed; ++i) {
            mapped[i] = system[i];
        }
        return Complete(Irp, STATUS_SUCCESS, echoed);
    case IOCTL_ECHO_NEITHER:
        view->Type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        return Complete(Irp, STATUS_SUCCESS, 0);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS CreateEchoDevice(ULONG Kind)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, EchoNames[Kind].Device);
    RtlInitUnicodeString(&linkName, EchoNames[Kind].Link);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(EchoDriver, sizeof(EchoDevice), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    EchoOf(device)->Kind = Kind;
    device->Flags |= EchoNames[Kind].Flags;
    EchoDevices[Kind] = device;
    return STATUS_SUCCESS;
}

static void DeleteEchoDevice(ULONG Kind)
{
    if (EchoDevices[Kind] == nullptr) {
        return;
    }
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, EchoNames[Kind].Link);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(EchoDevices[Kind]);
    EchoDevices[Kind] = nullptr;
}

// Deletes what DriverEntry and the tests created. PASSIVE_LEVEL.
static void EchoUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    for (ULONG kind = 0; kind < 4; ++kind) {
        DeleteEchoDevice(kind);
    }
    EchoDriver = nullptr;
}

// Creates the three devices; the I/O manager ends their initialization.
// PASSIVE_LEVEL.
NTSTATUS EchoDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    EchoDriver = DriverObject;
    RtlZeroMemory(&EchoEvents, sizeof(EchoEvents));
    EchoHoldReads = 0;
    KeInitializeSpinLock(&HeldLock);
    RtlZeroMemory(Held, sizeof(Held));
    KeInitializeEvent(&HeldEvent, SynchronizationEvent, FALSE);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanupClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCleanupClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->DriverUnload = EchoUnload;
    for (ULONG kind = EchoBuffered; kind <= EchoNeither; ++kind) {
        NTSTATUS status = CreateEchoDevice(kind);
        if (!NT_SUCCESS(status)) {
            EchoUnload(DriverObject);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS EchoCreateLateDevice()
{
    return CreateEchoDevice(EchoLate);
}

// A held request whose cancel routine is already gone is being cancelled,
// and is left to its cancel routine.
BOOLEAN EchoCompleteHeld(NTSTATUS Status, ULONG_PTR Information)
{
    PIRP irp = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&HeldLock, &irql);
    for (ULONG i = 0; i < EchoMaxHeld && irp == nullptr; ++i) {
        if (Held[i] != nullptr && IoSetCancelRoutine(Held[i], nullptr) != nullptr) {
            irp = Held[i];
            Held[i] = nullptr;
        }
    }
    KeReleaseSpinLock(&HeldLock, irql);
    if (irp == nullptr) {
        return FALSE;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Read.Length;
    const ULONG filled = Information < length ? static_cast<ULONG>(Information) : length;
    Fill(BufferOf(irp, EchoOf(stack->DeviceObject)->Kind), filled);
    Complete(irp, Status, Information);
    return TRUE;
}

ULONG EchoHeldCount()
{
    KIRQL irql;
    KeAcquireSpinLock(&HeldLock, &irql);
    ULONG count = 0;
    for (ULONG i = 0; i < EchoMaxHeld; ++i) {
        count += Held[i] != nullptr ? 1 : 0;
    }
    KeReleaseSpinLock(&HeldLock, irql);
    return count;
}

BOOLEAN EchoWaitHeld(ULONG Count, ULONG TimeoutMs)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * TimeoutMs;
    while (EchoHeldCount() < Count) {
        if (KeWaitForSingleObject(&HeldEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            return EchoHeldCount() >= Count;
        }
    }
    return TRUE;
}

}  // extern "C"
