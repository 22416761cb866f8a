#include "tests/system/power_probe.h"

namespace system_test {
namespace {

const PCWSTR kDeviceName = u"\\Device\\probe";
const PCWSTR kLinkName = u"\\DosDevices\\probe";

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
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
    if (probe.config.copyPagable) {
        device->Flags |= lower->Flags & DO_POWER_PAGABLE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.device = device;
    probe.lower = lower;
    return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT)
{
    PowerProbe::Instance().Record([](ProbeSeen& seen) { ++seen.unloads; });
}

// IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE: logged and completed.
NTSTATUS NTAPI Handle(PDEVICE_OBJECT, PIRP irp)
{
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    PowerProbe::Instance().Record([&](ProbeSeen& seen) { seen.handleRequests.push_back(major); });
    return Complete(irp, STATUS_SUCCESS);
}

// Queries are refused when the test says so; every other request the
// function driver agrees to goes down with success, the rest untouched.
NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const bool odd = KeGetCurrentIrql() != PASSIVE_LEVEL || irp->IoStatus.Status != STATUS_NOT_SUPPORTED ||
                     irp->IoStatus.Information != 0;
    probe.Record([&](ProbeSeen& seen) {
        seen.pnp.push_back(minor);
        seen.oddPnpArrivals += odd ? 1 : 0;
    });
    const bool query = minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE;
    if (query && probe.refuseQueries) {
        return Complete(irp, STATUS_DEVICE_BUSY);
    }
    if (query || minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
        minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(probe.lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, kLinkName);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(probe.lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    PowerProbe::Instance().Record([](ProbeSeen& seen) { ++seen.completions; });
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Forward(PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    for (int call = 0; call < static_cast<int>(probe.config.startNext); ++call) {
        PoStartNextPowerIrp(irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Completion, nullptr, TRUE, TRUE, TRUE);
    const NTSTATUS status =
        probe.config.forwardWithIoCallDriver ? IoCallDriver(probe.lower, irp) : PoCallDriver(probe.lower, irp);
    probe.Record([](ProbeSeen& seen) { ++seen.forwarded; });
    return status;
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT, PIRP irp)
{
    PowerProbe& probe = PowerProbe::Instance();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& power = stack->Parameters.Power;
    ProbeArrival arrival{stack->MinorFunction, power.Type, power.State, stack->Parameters.WaitWake.PowerState,
                         power.ShutdownType, KeGetCurrentIrql(), irp->StackCount, irp->CurrentLocation,
                         irp->IoStatus, irp, nullptr};
    const bool setOrQuery = stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    const bool hold = setOrQuery && power.Type == DevicePowerState && probe.config.holdDeviceRequests;
    if (hold) {
        IoMarkIrpPending(irp);  // before the request becomes reachable through `held`
    }
    probe.Record([&](ProbeSeen& seen) {
        arrival.outPointer = probe.out != nullptr ? *probe.out : nullptr;
        seen.arrivals.push_back(arrival);
        if (hold) {
            probe.held.push_back(irp);
        }
    });
    if (hold) {
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && power.Type == SystemPowerState && probe.config.failSystemQuery) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    return Forward(irp);
}

}  // namespace

PowerProbe& PowerProbe::Instance()
{
    static PowerProbe probe;
    return probe;
}

NTSTATUS NTAPI PowerProbe::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->MajorFunction[IRP_MJ_CREATE] = Handle;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Handle;
    driver->MajorFunction[IRP_MJ_CLOSE] = Handle;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

void PowerProbe::Reset(ProbeConfig newConfig)
{
    std::lock_guard<std::mutex> lock(mutex);
    config = newConfig;
    refuseQueries = false;
    device = nullptr;
    lower = nullptr;
    seen = {};
    held.clear();
    out = nullptr;
}

void PowerProbe::WatchOutPointer(PIRP* watched)
{
    std::lock_guard<std::mutex> lock(mutex);
    out = watched;
}

ProbeSeen PowerProbe::Seen()
{
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

bool PowerProbe::WaitUntil(const std::function<bool(const ProbeSeen&)>& done, Ms timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return done(seen); });
}

void PowerProbe::Record(const std::function<void(ProbeSeen&)>& change)
{
    std::lock_guard<std::mutex> lock(mutex);
    change(seen);
    changed.notify_all();
}

void NTAPI PowerProbe::Callback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID, PIO_STATUS_BLOCK ioStatus)
{
    Instance().Record([&](ProbeSeen& seen) {
        seen.callbacks.push_back({device, minor, state, ioStatus->Status, seen.completions});
    });
}

void PowerProbe::ReleaseHeld()
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (held.empty()) {
            return;
        }
        irp = held.front();
        held.pop_front();
    }
    emu::DriverScope scope(device->DriverObject);
    Forward(irp);
}

}  // namespace system_test
