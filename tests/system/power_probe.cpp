#include "tests/system/power_probe.h"

namespace system_test {

struct ProbeDispatch {
    static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    static NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Forward(PIRP irp);
    static NTSTATUS Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
};

PowerProbe& PowerProbe::Instance()
{
    static PowerProbe probe;
    return probe;
}

NTSTATUS PowerProbe::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = ProbeDispatch::Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = ProbeDispatch::Power;
    driver->DriverExtension->AddDevice = ProbeDispatch::AddDevice;
    return STATUS_SUCCESS;
}

void PowerProbe::Reset(ProbeConfig config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
    device_ = nullptr;
    lower_ = nullptr;
    arrivals_.clear();
    completions_ = 0;
    callbacks_.clear();
    held_.clear();
    forwarded_ = 0;
    out_ = nullptr;
}

void PowerProbe::WatchOutPointer(PIRP* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    out_ = out;
}

std::vector<ProbeArrival> PowerProbe::Arrivals()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
}

bool PowerProbe::WaitUntil(std::chrono::milliseconds timeout, const std::function<bool()>& done)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

bool PowerProbe::WaitForArrivals(size_t count, std::chrono::milliseconds timeout)
{
    return WaitUntil(timeout, [&] { return arrivals_.size() >= count; });
}

bool PowerProbe::WaitForForwarded(size_t count, std::chrono::milliseconds timeout)
{
    return WaitUntil(timeout, [&] { return forwarded_ >= count; });
}

void PowerProbe::Callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID, PIO_STATUS_BLOCK ioStatus)
{
    PowerProbe& probe = Instance();
    std::lock_guard<std::mutex> lock(probe.mutex_);
    probe.callbacks_.push_back({device, minor, state, ioStatus->Status, probe.completions_});
    probe.changed_.notify_all();
}

std::vector<ProbeCallback> PowerProbe::Callbacks()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return callbacks_;
}

bool PowerProbe::WaitForCallbacks(size_t count, std::chrono::milliseconds timeout)
{
    return WaitUntil(timeout, [&] { return callbacks_.size() >= count; });
}

void PowerProbe::ReleaseHeld()
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (held_.empty()) {
            return;
        }
        irp = held_.front();
        held_.pop_front();
    }
    emu::DriverScope scope(device_->DriverObject);
    ProbeDispatch::Forward(irp);
}

NTSTATUS ProbeDispatch::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PowerProbe& probe = PowerProbe::Instance();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (probe.config_.copyPagable) {
        device->Flags |= lower->Flags & DO_POWER_PAGABLE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> lock(probe.mutex_);
    probe.device_ = device;
    probe.lower_ = lower;
    return STATUS_SUCCESS;
}

NTSTATUS ProbeDispatch::Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    const bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (remove) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(probe.lower_, irp);
    if (remove) {
        IoDetachDevice(probe.lower_);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS ProbeDispatch::Completion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    PowerProbe& probe = PowerProbe::Instance();
    {
        std::lock_guard<std::mutex> lock(probe.mutex_);
        ++probe.completions_;
    }
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ProbeDispatch::Forward(PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    const StartNext startNext = probe.config_.startNext;
    if (startNext != StartNext::Never) {
        PoStartNextPowerIrp(irp);
    }
    if (startNext == StartNext::Twice) {
        PoStartNextPowerIrp(irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Completion, nullptr, TRUE, TRUE, TRUE);
    const NTSTATUS status =
        probe.config_.forwardWithIoCallDriver ? IoCallDriver(probe.lower_, irp) : PoCallDriver(probe.lower_, irp);
    std::lock_guard<std::mutex> lock(probe.mutex_);
    ++probe.forwarded_;
    probe.changed_.notify_all();
    return status;
}

NTSTATUS ProbeDispatch::Power(PDEVICE_OBJECT, PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ProbeArrival arrival{stack->MinorFunction,
                         stack->Parameters.Power.Type,
                         stack->Parameters.Power.State,
                         stack->Parameters.WaitWake.PowerState,
                         stack->Parameters.Power.ShutdownType,
                         KeGetCurrentIrql(),
                         irp->StackCount,
                         irp->CurrentLocation,
                         irp->IoStatus,
                         irp,
                         nullptr};
    const bool setOrQuery = stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    const bool hold = setOrQuery && stack->Parameters.Power.Type == DevicePowerState && probe.config_.holdDeviceRequests;
    if (hold) {
        IoMarkIrpPending(irp);  // before the request becomes reachable through held_
    }
    {
        std::lock_guard<std::mutex> lock(probe.mutex_);
        arrival.outPointer = probe.out_ != nullptr ? *probe.out_ : nullptr;
        probe.arrivals_.push_back(arrival);
        if (hold) {
            probe.held_.push_back(irp);
        }
        probe.changed_.notify_all();
    }
    if (hold) {
        return STATUS_PENDING;
    }
    if (setOrQuery && stack->Parameters.Power.Type == SystemPowerState &&
        stack->MinorFunction == IRP_MN_QUERY_POWER && probe.config_.failSystemQuery) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    return Forward(irp);
}

}  // namespace system_test
