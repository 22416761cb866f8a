#include "tests/system/power_probe.h"

namespace system_test {

struct ProbeDispatch {
    static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    static NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Handle(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Forward(PIRP irp);
    static NTSTATUS Completion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static void Unload(PDRIVER_OBJECT driver);
};

namespace {
const PCWSTR kDeviceName = u"\\Device\\probe";
const PCWSTR kLinkName = u"\\DosDevices\\probe";

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
}  // namespace

PowerProbe& PowerProbe::Instance()
{
    static PowerProbe probe;
    return probe;
}

NTSTATUS PowerProbe::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = ProbeDispatch::Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = ProbeDispatch::Power;
    driver->MajorFunction[IRP_MJ_CREATE] = ProbeDispatch::Handle;
    driver->MajorFunction[IRP_MJ_CLEANUP] = ProbeDispatch::Handle;
    driver->MajorFunction[IRP_MJ_CLOSE] = ProbeDispatch::Handle;
    driver->DriverExtension->AddDevice = ProbeDispatch::AddDevice;
    driver->DriverUnload = ProbeDispatch::Unload;
    return STATUS_SUCCESS;
}

void PowerProbe::Reset(ProbeConfig config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
    refuseQueries_ = false;
    device_ = nullptr;
    lower_ = nullptr;
    seen_ = {};
    held_.clear();
    out_ = nullptr;
}

void PowerProbe::WatchOutPointer(PIRP* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    out_ = out;
}

ProbeSeen PowerProbe::Seen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

bool PowerProbe::WaitUntil(const std::function<bool(const ProbeSeen&)>& done, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(seen_); });
}

template <typename Change>
void PowerProbe::Record(Change change)
{
    std::lock_guard<std::mutex> lock(mutex_);
    change(seen_);
    changed_.notify_all();
}

void PowerProbe::Callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID, PIO_STATUS_BLOCK ioStatus)
{
    Instance().Record([&](ProbeSeen& seen) {
        seen.callbacks.push_back({device, minor, state, ioStatus->Status, seen.completions});
    });
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
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, kDeviceName);
    RtlInitUnicodeString(&link, kLinkName);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    IoCreateSymbolicLink(&link, &name);
    if (probe.config_.copyPagable) {
        device->Flags |= lower->Flags & DO_POWER_PAGABLE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> lock(probe.mutex_);
    probe.device_ = device;
    probe.lower_ = lower;
    return STATUS_SUCCESS;
}

void ProbeDispatch::Unload(PDRIVER_OBJECT)
{
    PowerProbe::Instance().Record([](ProbeSeen& seen) { ++seen.unloads; });
}

NTSTATUS ProbeDispatch::Handle(PDEVICE_OBJECT, PIRP irp)
{
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    PowerProbe::Instance().Record([&](ProbeSeen& seen) { seen.handleRequests.push_back(major); });
    return Complete(irp, STATUS_SUCCESS);
}

// Queries are refused when the test says so; every other request the
// function driver agrees to goes down with success, the rest untouched.
NTSTATUS ProbeDispatch::Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const bool odd =
        KeGetCurrentIrql() != PASSIVE_LEVEL || irp->IoStatus.Status != STATUS_NOT_SUPPORTED || irp->IoStatus.Information != 0;
    probe.Record([&](ProbeSeen& seen) {
        seen.pnp.push_back(minor);
        seen.oddPnpArrivals += odd ? 1 : 0;
    });
    const bool query = minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE;
    if (query && probe.refuseQueries_) {
        return Complete(irp, STATUS_DEVICE_BUSY);
    }
    if (query || minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
        minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(probe.lower_, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, kLinkName);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(probe.lower_);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS ProbeDispatch::Completion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    PowerProbe::Instance().Record([](ProbeSeen& seen) { ++seen.completions; });
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
    probe.Record([](ProbeSeen& seen) { ++seen.forwarded; });
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
    probe.Record([&](ProbeSeen& seen) {
        arrival.outPointer = probe.out_ != nullptr ? *probe.out_ : nullptr;
        seen.arrivals.push_back(arrival);
        if (hold) {
            probe.held_.push_back(irp);
        }
    });
    if (hold) {
        return STATUS_PENDING;
    }
    if (setOrQuery && stack->Parameters.Power.Type == SystemPowerState &&
        stack->MinorFunction == IRP_MN_QUERY_POWER && probe.config_.failSystemQuery) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    return Forward(irp);
}

}  // namespace system_test
