#include "tests/kernel/test_stack.h"

#include <string>

namespace emu::test {
namespace {

// Each device's extension holds a pointer to its handler.
NTSTATUS NTAPI DispatchToHandler(PDEVICE_OBJECT device, PIRP irp)
{
    return (**static_cast<Handler**>(device->DeviceExtension))(device, irp);
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) {
        dispatch = DispatchToHandler;
    }
    return STATUS_SUCCESS;
}

int driverCount = 0;

void NTAPI SignalRoutine(PDEVICE_OBJECT, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

Handler HoldPending(PIRP* held)
{
    return [held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        *held = irp;
        return STATUS_PENDING;
    };
}

TestStack::TestStack(int depth)
{
    const std::u16string name = u"ktest" + std::u16string(1, char16_t(u'0' + driverCount++ % 10));
    LoadDriver(name, TestDriverEntry, u"\\Registry\\Machine\\System\\ktest", &driver_);
    for (int level = 0; level < depth; ++level) {
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(driver_, sizeof(Handler*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        handlers_.push_back(std::make_unique<Handler>());
        *static_cast<Handler**>(device->DeviceExtension) = handlers_.back().get();
        if (!devices_.empty()) {
            IoAttachDeviceToDeviceStack(device, devices_.back());
        }
        devices_.push_back(device);
        OnDispatch(level, nullptr);
    }
}

TestStack::~TestStack()
{
    for (size_t level = devices_.size(); level-- > 0;) {
        if (level > 0) {
            IoDetachDevice(devices_[level - 1]);
        }
        IoDeleteDevice(devices_[level]);
    }
    UnloadDriver(driver_);
}

void TestStack::OnDispatch(int level, Handler handler)
{
    PDEVICE_OBJECT lower = level > 0 ? devices_.at(level - 1) : nullptr;
    if (!handler) {
        handler = [lower](PDEVICE_OBJECT, PIRP irp) {
            if (lower == nullptr) {
                return CompleteWith(irp, STATUS_SUCCESS);
            }
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower, irp);
        };
    }
    *handlers_.at(level) = std::move(handler);
}

PIRP TestStack::AllocateIrp(UCHAR major, bool ownLocation) const
{
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(Top()->StackSize + (ownLocation ? 1 : 0)), FALSE);
    if (ownLocation) {
        IoSetNextIrpStackLocation(irp);
    }
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    return irp;
}

PIRP ReadIrp(CCHAR stackSize)
{
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    return irp;
}

void OnIrp(CCHAR stackSize, int setNext, const std::function<void(PIRP)>& misuse)
{
    PIRP irp = ReadIrp(stackSize);
    for (int i = 0; i < setNext; ++i) {
        IoSetNextIrpStackLocation(irp);
    }
    misuse(irp);
    IoFreeIrp(irp);
}

void Skip(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

void CopyDown(PIRP irp)
{
    PIO_STACK_LOCATION current = irp->Tail.Overlay.CurrentStackLocation;
    memcpy(current - 1, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    (current - 1)->Control = 0;
}

void StepDown(PIRP irp)
{
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}

void NTAPI UnusedCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

void DrainWorker(PDEVICE_OBJECT anyDevice)
{
    KEVENT drained;
    KeInitializeEvent(&drained, NotificationEvent, FALSE);
    PIO_WORKITEM fence = IoAllocateWorkItem(anyDevice);
    IoQueueWorkItem(fence, SignalRoutine, DelayedWorkQueue, &drained);
    KeWaitForSingleObject(&drained, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(fence);
}

WorkRun::WorkRun(bool released)
{
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, released);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
}

void WorkRun::Wait(PKEVENT event)
{
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

void NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID context)
{
    auto* run = static_cast<WorkRun*>(context);
    run->runs++;
    run->device = device;
    run->thread = KeGetCurrentThread();
    run->irql = KeGetCurrentIrql();
    KeSetEvent(&run->started, IO_NO_INCREMENT, FALSE);
    run->Wait(&run->release);
    if (run->requeues > 0) {
        run->requeues--;
        IoQueueWorkItem(run->item, WorkRoutine, DelayedWorkQueue, run);
        return;
    }
    if (run->freeInside) {
        IoFreeWorkItem(run->item);
    }
    KeSetEvent(&run->done, IO_NO_INCREMENT, FALSE);
}

PDEVICE_OBJECT CreatePhysicalDevice()
{
    PDRIVER_OBJECT bus = CreateSystemDriver(u"ktestbus", [](PDRIVER_OBJECT driver) {
        for (auto& dispatch : driver->MajorFunction) {
            dispatch = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, STATUS_SUCCESS); };
        }
    });
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

NTSTATUS NTAPI ProbeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* probe = static_cast<CompletionProbe*>(context);
    probe->calls++;
    probe->device = device;
    probe->pendingReturned = irp->PendingReturned;
    probe->status = irp->IoStatus.Status;
    probe->current = IoGetCurrentIrpStackLocation(irp);
    probe->lower = *(probe->current - 1);
    const NTSTATUS result = probe->result;
    if (result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned && device != nullptr) {
        IoMarkIrpPending(irp);
    }
    if (probe->action) {
        probe->action(irp);
    }
    return result;
}

CompletionProbe FreeingProbe()
{
    CompletionProbe probe;
    probe.result = STATUS_MORE_PROCESSING_REQUIRED;
    probe.action = [](PIRP irp) { IoFreeIrp(irp); };
    return probe;
}

NTSTATUS ForwardWithProbe(PDEVICE_OBJECT lower, PIRP irp, CompletionProbe* probe, UCHAR invokeFlags)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeCompletion, probe, (invokeFlags & SL_INVOKE_ON_SUCCESS) != 0,
                           (invokeFlags & SL_INVOKE_ON_ERROR) != 0, (invokeFlags & SL_INVOKE_ON_CANCEL) != 0);
    return IoCallDriver(lower, irp);
}

NTSTATUS TestStack::Send(UCHAR major, UCHAR minor)
{
    PIRP irp = AllocateIrp(major);
    IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
    IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
    return IoCallDriver(Top(), irp);
}

}  // namespace emu::test
