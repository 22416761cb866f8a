#include "tests/system/echo/echo_driver.h"

#include <algorithm>

namespace system_test {
namespace {

const struct {
    PCWSTR device;
    PCWSTR link;
    ULONG flags;
} kNames[4] = {
    {u"\\Device\\EchoBuffered", u"\\DosDevices\\EchoBuffered", DO_BUFFERED_IO},
    {u"\\Device\\EchoDirect", u"\\DosDevices\\EchoDirect", DO_DIRECT_IO},
    {u"\\Device\\EchoNeither", u"\\DosDevices\\EchoNeither", 0},
    {u"\\Device\\EchoLate", u"\\DosDevices\\EchoLate", DO_BUFFERED_IO},
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

ULONG KindOf(PDEVICE_OBJECT device)
{
    const auto& devices = Echo::Instance().devices;
    return static_cast<ULONG>(std::find(std::begin(devices), std::end(devices), device) - std::begin(devices));
}

// Where a read's or a write's bytes are for the device's buffering method.
PUCHAR BufferOf(PIRP irp, ULONG kind)
{
    if (kind == EchoDirect) {
        return irp->MdlAddress == nullptr
                   ? nullptr
                   : static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute));
    }
    return static_cast<PUCHAR>(kind == EchoNeither ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer);
}

void Fill(PUCHAR buffer, size_t length)
{
    for (size_t i = 0; buffer != nullptr && i < length; ++i) {
        buffer[i] = EchoPattern(i);
    }
}

std::vector<uint8_t> Bytes(const UCHAR* data, ULONG length)
{
    return data == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(data, data + length);
}

EchoRequestView& RecordArrival(PDEVICE_OBJECT device, PIRP irp, ULONG length, ULONG inputLength)
{
    Echo& echo = Echo::Instance();
    PMDL mdl = irp->MdlAddress;
    std::lock_guard<std::mutex> lock(echo.mutex);
    EchoRequestView& view = echo.last[KindOf(device)];
    view = {KeGetCurrentIrql(), irp->RequestorMode, mdl, irp->AssociatedIrp.SystemBuffer,
            mdl == nullptr ? nullptr : MmGetMdlVirtualAddress(mdl),
            mdl == nullptr ? nullptr : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute), irp->UserBuffer,
            nullptr, mdl == nullptr ? 0 : MmGetMdlByteCount(mdl), length, inputLength, irp->Flags, {}};
    return view;
}

void Log(UCHAR major, PFILE_OBJECT file)
{
    Echo& echo = Echo::Instance();
    std::lock_guard<std::mutex> lock(echo.mutex);
    echo.events.push_back({major, file});
}

// Cancel routine of a held read. DISPATCH_LEVEL with the cancel lock held
// on entry; the read is completed here.
void NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Echo& echo = Echo::Instance();
    {
        std::lock_guard<std::mutex> lock(echo.mutex);
        std::erase(echo.held, irp);
    }
    Complete(irp, STATUS_CANCELLED);
}

// Keeps the read until CompleteHeld or its cancel. PASSIVE_LEVEL.
NTSTATUS Hold(PIRP irp)
{
    Echo& echo = Echo::Instance();
    IoMarkIrpPending(irp);
    std::unique_lock<std::mutex> lock(echo.mutex);
    (void)IoSetCancelRoutine(irp, CancelHeld);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        lock.unlock();
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    echo.held.push_back(irp);  // a cancel routine already running takes it out again
    echo.changed.notify_all();
    return STATUS_PENDING;
}

// IRP_MJ_CREATE. PASSIVE_LEVEL. A name of "\fail" is refused.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    const std::u16string name(reinterpret_cast<const char16_t*>(file->FileName.Buffer),
                              file->FileName.Length / sizeof(char16_t));
    Log(IRP_MJ_CREATE, file);
    {
        Echo& echo = Echo::Instance();
        std::lock_guard<std::mutex> lock(echo.mutex);
        echo.createName[KindOf(device)] = name;
    }
    return Complete(irp, name == u"\\fail" ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
}

// IRP_MJ_CLEANUP and IRP_MJ_CLOSE. Held reads are deliberately left alone,
// so that tests can see the close wait for them.
NTSTATUS NTAPI DispatchCleanupClose(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Log(stack->MajorFunction, stack->FileObject);
    return Complete(irp, STATUS_SUCCESS);
}

// IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL in the caller's thread.
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = stack->Parameters.Read.Length;
    EchoRequestView& view = RecordArrival(device, irp, length, 0);
    PUCHAR buffer = BufferOf(irp, KindOf(device));
    if (stack->MajorFunction == IRP_MJ_WRITE) {
        view.data = Bytes(buffer, length);
    } else if (Echo::Instance().holdReads) {
        return Hold(irp);
    } else {
        Fill(buffer, length);
    }
    return Complete(irp, STATUS_SUCCESS, length);
}

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL in the caller's thread. The
// METHOD_BUFFERED codes share SystemBuffer between input and output.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG echoed = std::min(in, out);
    EchoRequestView& view = RecordArrival(device, irp, out, in);
    PUCHAR system = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    PUCHAR mapped = static_cast<PUCHAR>(view.mdlSystemAddress);
    view.data = Bytes(system, in);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ECHO_BUFFERED:
        std::transform(system, system + echoed, system, [](UCHAR byte) { return UCHAR(byte ^ 0xFF); });
        return Complete(irp, STATUS_SUCCESS, echoed);
    case IOCTL_ECHO_OVERREPORT:
        Fill(system, out);
        return Complete(irp, STATUS_SUCCESS, out + 16);
    case IOCTL_ECHO_FAIL:
        Fill(system, out);
        return Complete(irp, STATUS_UNSUCCESSFUL);
    case IOCTL_ECHO_WARNING:
        Fill(system, out);
        return Complete(irp, STATUS_BUFFER_OVERFLOW, out);
    case IOCTL_ECHO_IN_DIRECT:
        view.data = Bytes(mapped, out);
        return Complete(irp, STATUS_SUCCESS);
    case IOCTL_ECHO_OUT_DIRECT:
        std::copy(system, system + (mapped != nullptr ? echoed : 0), mapped);
        return Complete(irp, STATUS_SUCCESS, echoed);
    case IOCTL_ECHO_NEITHER:
        view.type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS CreateEchoDevice(ULONG kind)
{
    UNICODE_STRING device;
    UNICODE_STRING link;
    RtlInitUnicodeString(&device, kNames[kind].device);
    RtlInitUnicodeString(&link, kNames[kind].link);
    Echo& echo = Echo::Instance();
    NTSTATUS status = IoCreateDevice(echo.driver, 0, &device, FILE_DEVICE_UNKNOWN, 0, FALSE, &echo.devices[kind]);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    echo.devices[kind]->Flags |= kNames[kind].flags;
    return IoCreateSymbolicLink(&link, &device);
}

// Deletes what DriverEntry and the tests created. PASSIVE_LEVEL.
void NTAPI Unload(PDRIVER_OBJECT)
{
    Echo& echo = Echo::Instance();
    for (ULONG kind = 0; kind < 4; ++kind) {
        if (echo.devices[kind] != nullptr) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, kNames[kind].link);
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(echo.devices[kind]);
            echo.devices[kind] = nullptr;
        }
    }
}

}  // namespace

Echo& Echo::Instance()
{
    static Echo echo;
    return echo;
}

// Creates the three devices; the I/O manager ends their initialization.
// PASSIVE_LEVEL.
NTSTATUS NTAPI Echo::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    Echo& echo = Instance();
    {
        std::lock_guard<std::mutex> lock(echo.mutex);
        echo.events.clear();
        echo.held.clear();
    }
    echo.holdReads = false;
    echo.driver = driver;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCleanupClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = Unload;
    for (ULONG kind = EchoBuffered; kind <= EchoNeither; ++kind) {
        if (NTSTATUS status = CreateEchoDevice(kind); !NT_SUCCESS(status)) {
            Unload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Echo::CreateLateDevice()
{
    return CreateEchoDevice(EchoLate);
}

size_t Echo::HeldCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return held.size();
}

bool Echo::WaitHeld(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return held.size() >= count; });
}

// A held read whose cancel routine is already gone is being cancelled, and
// is left to its cancel routine.
bool Echo::CompleteHeld(NTSTATUS status, ULONG_PTR information)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto ours = std::find_if(held.begin(), held.end(),
                                       [](PIRP h) { return IoSetCancelRoutine(h, nullptr) != nullptr; });
        if (ours == held.end()) {
            return false;
        }
        irp = *ours;
        held.erase(ours);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Fill(BufferOf(irp, KindOf(stack->DeviceObject)), std::min<ULONG_PTR>(information, stack->Parameters.Read.Length));
    Complete(irp, status, information);
    return true;
}

std::vector<EchoEvent> Echo::Events()
{
    std::lock_guard<std::mutex> lock(mutex);
    return events;
}

EchoRequestView Echo::Last(ULONG kind)
{
    std::lock_guard<std::mutex> lock(mutex);
    return last[kind];
}

}  // namespace system_test
