// The lower filter's device object, its dispatch and cancel routines, and
// what it does with each request.
#include "emulator/filter/lower_filter.h"

#include "emulator/kernel/lower_driver_context.h"
#include "emulator/kernel/system.h"
#include "emulator/pnp/device_state.h"
#include "emulator/power/power_manager.h"

#include <algorithm>
#include <utility>

namespace emu::filter {
namespace {

// The filter that owns a device object lives in its extension.
LowerFilter& FilterOf(PDEVICE_OBJECT device)
{
    return **static_cast<LowerFilter**>(device->DeviceExtension);
}

// Any IRQL a request may be sent at; the filter decides.
NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return FilterOf(device).Dispatch(irp);
}

// DISPATCH_LEVEL, with the cancel spin lock held on entry.
void NTAPI FilterCancelWaitWake(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FilterOf(device).CancelWaitWake(irp);
}

void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// At or below DISPATCH_LEVEL, as the PDO completes the request.
NTSTATUS NTAPI CapabilitiesCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        static_cast<LowerFilter*>(context)->EditCapabilitiesOnTheWayUp(
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities);
    }
    return STATUS_SUCCESS;
}

// At or below DISPATCH_LEVEL, as the PDO completes the URB.
NTSTATUS NTAPI UrbCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        static_cast<LowerFilter*>(context)->EditUrbOnTheWayUp(
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1));
    }
    return STATUS_SUCCESS;
}

// At or below DISPATCH_LEVEL. The status to fail with travels as the context.
NTSTATUS NTAPI FailOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID failure)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    irp->IoStatus.Status = static_cast<NTSTATUS>(reinterpret_cast<LONG_PTR>(failure));
    return STATUS_SUCCESS;
}

// At or below DISPATCH_LEVEL: the filter's own state bit joins what the
// drivers below reported.
NTSTATUS NTAPI AddRequirementsChanged(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (NT_SUCCESS(irp->IoStatus.Status) || irp->IoStatus.Status == STATUS_NOT_SUPPORTED) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information |= PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED;
    }
    return STATUS_SUCCESS;
}

// A held request goes on with the filter's own location behind it: it
// was marked pending there, which the filter's completion passes on.
// At or below DISPATCH_LEVEL.
NTSTATUS NTAPI PassPendingOnUp(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

bool IsSetOrQueryPower(PIO_STACK_LOCATION stack)
{
    return stack->MajorFunction == IRP_MJ_POWER &&
           (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

SeenRequest::Fate FateOf(const Verdict& verdict)
{
    switch (verdict.action) {
    case Verdict::Action::Complete: return SeenRequest::Fate::Completed;
    case Verdict::Action::Hold: return SeenRequest::Fate::Held;
    default: return SeenRequest::Fate::Passed;
    }
}

}  // namespace

// PASSIVE_LEVEL, before the function driver's AddDevice.
LowerFilter::LowerFilter(PDEVICE_OBJECT pdo)
{
    driver_ = CreateSystemDriver(u"\\Driver\\lower_filter", [](PDRIVER_OBJECT driver) {
        for (auto& entry : driver->MajorFunction) {
            entry = FilterDispatch;
        }
    });
    IoCreateDevice(driver_, sizeof(LowerFilter*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    *static_cast<LowerFilter**>(device_->DeviceExtension) = this;
    device_->Flags |= pdo->Flags & DO_POWER_PAGABLE;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
}

// PASSIVE_LEVEL.
LowerFilter::~LowerFilter()
{
    for (std::thread& completer : completers_) {
        completer.join();
    }
    ReleaseHeld();
    DriverScope scope(driver_);
    if (!left_) {
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
    }
    DeleteSystemDriver(driver_);
}

// PASSIVE_LEVEL, from the owner's thread.
void LowerFilter::Release(PIRP irp, Verdict verdict)
{
    if (Locked([&] { return std::erase(held_, irp); }) == 0) {
        return;
    }
    DriverScope scope(driver_);
    if (verdict.action != Verdict::Action::Pass) {
        Apply(irp, verdict);
        return;
    }
    // Marked pending when it was held: copied down, never skipped.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (IsSetOrQueryPower(stack)) {
        Locked([&] { ++startNextCalls_; });
        PoStartNextPowerIrp(irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PassPendingOnUp, nullptr, TRUE, TRUE, TRUE);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoCallDriver(lower_, irp);
    } else {
        IofCallDriver(lower_, irp);
    }
}

// Requests still held when the filter has left the stack have no device
// to go to.
size_t LowerFilter::ReleaseHeld()
{
    const std::vector<PIRP> held = Held();
    const bool left = Locked([&] { return left_; });
    for (PIRP irp : held) {
        Release(irp, left ? Verdict::CompleteWith(STATUS_NO_SUCH_DEVICE) : Verdict::Pass());
    }
    return held.size();
}

// PASSIVE_LEVEL, from the owner's thread.
void LowerFilter::FinishWaitWake(PIRP irp, NTSTATUS status)
{
    DriverScope scope(driver_);
    Locked([&] { std::erase(keptWaitWake_, irp); });
    IoSetCancelRoutine(irp, nullptr);
    Complete(irp, status);
}

void LowerFilter::EditUrbOnTheWayUp(PURB urb)
{
    if (auto edit = Locked([&] { return editUrbs_; })) {
        edit(urb);
    }
}

void LowerFilter::EditCapabilitiesOnTheWayUp(PDEVICE_CAPABILITIES capabilities)
{
    if (auto edit = Locked([&] { return editCapabilities_; })) {
        edit(capabilities);
    }
}

// Any IRQL the request comes at. The request's DriverContext is the
// filter's from here on. A PnP request notes what the PDO returned for it;
// a wait-wake request may be kept; everything else goes as the rules say.
NTSTATUS LowerFilter::Dispatch(PIRP irp)
{
    ClaimLowerDriverContext(irp);
    const SeenRequest seen = DescribeRequest(irp);
    const size_t index = Record(seen);
    if (seen.major == IRP_MJ_POWER && seen.minor == IRP_MN_WAIT_WAKE &&
        Locked([&] { return keepWaitWake_.has_value(); })) {
        NoteFate(index, SeenRequest::Fate::KeptWaitWake, STATUS_PENDING);
        return Keep(irp);
    }
    const Verdict verdict = Decide(seen);
    NoteFate(index, FateOf(verdict), verdict.status);
    if (seen.major != IRP_MJ_PNP) {
        return Apply(irp, verdict);
    }
    const NTSTATUS status = verdict.action == Verdict::Action::Pass ? PassPnp(irp) : Apply(irp, verdict);
    Locked([&] {
        if (index < seen_.size()) {
            seen_[index].lowerReturned = status;
        }
    });
    return status;
}

// DISPATCH_LEVEL, from the cancel routine.
void LowerFilter::CancelWaitWake(PIRP irp)
{
    NTSTATUS status = STATUS_CANCELLED;
    {
        std::lock_guard lock(mutex_);
        ++waitWakeCancels_;
        changed_.notify_all();
        if (keepWaitWake_ != WaitWakeCancel::CompleteAtOnce) {
            return;
        }
        std::erase(keptWaitWake_, irp);
        status = cancelStatus_;
    }
    Complete(irp, status);
}

// Adds what the observer knows of the driver above, then keeps the record;
// returns its index.
size_t LowerFilter::Record(SeenRequest seen)
{
    std::lock_guard lock(mutex_);
    if (watched_ != nullptr && IsDeviceObjectAlive(watched_)) {
        if (describeAbove_) {
            describeAbove_(watched_, seen);
        }
        seen.driverAttached = device_->AttachedDevice == watched_;
        seen.driverDeletePending = IsDeletePending(watched_);
    }
    seen_.push_back(std::move(seen));
    changed_.notify_all();
    return seen_.size() - 1;
}

void LowerFilter::NoteFate(size_t index, SeenRequest::Fate fate, NTSTATUS answer)
{
    Locked([&] {
        if (index < seen_.size()) {
            seen_[index].fate = fate;
            seen_[index].answer = answer;
        }
    });
}

Verdict LowerFilter::Decide(const SeenRequest& seen)
{
    for (const Rule& rule : Locked([&] { return rules_; })) {
        if (std::optional<Verdict> verdict = rule(seen)) {
            return *verdict;
        }
    }
    return Verdict::Pass();
}

// The filter finishes its part of a set or query power request (as every
// driver in the stack must) whatever it then does with it.
NTSTATUS LowerFilter::Apply(PIRP irp, const Verdict& verdict)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (verdict.action == Verdict::Action::Hold) {
        IoMarkIrpPending(irp);
        Locked([&] { held_.push_back(irp); });
        changed_.notify_all();
        return STATUS_PENDING;
    }
    if (IsSetOrQueryPower(stack)) {
        Locked([&] { ++startNextCalls_; });
        PoStartNextPowerIrp(irp);
    }
    if (verdict.action == Verdict::Action::Pass && stack->MajorFunction == IRP_MJ_POWER) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower_, irp);
    }
    if (verdict.action == Verdict::Action::Pass) {
        return PassOn(irp);
    }
    if (verdict.portStatus) {
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = *verdict.portStatus;
    }
    if (!verdict.pend) {
        Complete(irp, verdict.status, verdict.information);
        return verdict.status;
    }
    IoMarkIrpPending(irp);
    Locked([&] {
        completers_.emplace_back([this, irp, verdict] {
            DriverScope scope(driver_);
            Complete(irp, verdict.status, verdict.information);
        });
    });
    return STATUS_PENDING;
}

NTSTATUS LowerFilter::PassOn(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        Locked([&] { return editUrbs_ != nullptr; })) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, UrbCompletion, this, TRUE, TRUE, TRUE);
        return IofCallDriver(lower_, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower_, irp);
}

void LowerFilter::ReportResourceRequirementsChange()
{
    Locked([&] { requirementsChanged_ = true; });
    DriverScope scope(driver_);
    IoInvalidateDeviceState(lower_);
}

std::optional<NTSTATUS> LowerFilter::FailureOnTheWayUp(UCHAR minor)
{
    return Locked([&]() -> std::optional<NTSTATUS> {
        auto it = failOnTheWayUp_.find(minor);
        return it == failOnTheWayUp_.end() ? std::nullopt : std::optional<NTSTATUS>(it->second);
    });
}

// The emulated PnP manager unloads the driver as soon as the removal
// returns, without waiting for a power request whose callback into the
// driver has ended but which the power manager has not freed yet (on Windows
// such a request is the power manager's, not the driver's). The filter, as a
// lower driver may, lets those finish before the removal goes on.
NTSTATUS LowerFilter::PassPnp(PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        power::WaitForRequests(std::chrono::seconds(5));
    }
    if (const std::optional<NTSTATUS> failure = FailureOnTheWayUp(minor)) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, FailOnTheWayUp, reinterpret_cast<PVOID>(static_cast<LONG_PTR>(*failure)),
                               TRUE, TRUE, TRUE);
        const NTSTATUS lower = IofCallDriver(lower_, irp);
        return lower == STATUS_PENDING ? lower : *failure;
    }
    if (minor == IRP_MN_REMOVE_DEVICE && Locked([&] { return leaveAtRemoval_; })) {
        const NTSTATUS status = PassOn(irp);
        Leave();
        return status;
    }
    if (minor == IRP_MN_QUERY_PNP_DEVICE_STATE && Locked([&] { return std::exchange(requirementsChanged_, false); })) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, AddRequirementsChanged, nullptr, TRUE, TRUE, TRUE);
        return IofCallDriver(lower_, irp);
    }
    if (minor != IRP_MN_QUERY_CAPABILITIES || !Locked([&] { return editCapabilities_ != nullptr; })) {
        return PassOn(irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CapabilitiesCompletion, this, TRUE, TRUE, TRUE);
    return IofCallDriver(lower_, irp);
}

// PASSIVE_LEVEL, after the removal went past: the filter leaves the PDO,
// which the bus may delete now, and deletes its own device object, as a
// PnP filter driver does; the kernel keeps it until the driver above has
// detached from it.
void LowerFilter::Leave()
{
    Locked([&] { left_ = true; });
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
}

// A kept wait-wake request waits with a cancel routine, as in a bus driver.
NTSTATUS LowerFilter::Keep(PIRP irp)
{
    IoMarkIrpPending(irp);
    Locked([&] { keptWaitWake_.push_back(irp); });
    changed_.notify_all();
    IoSetCancelRoutine(irp, FilterCancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Locked([&] { std::erase(keptWaitWake_, irp); });
        Complete(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

}  // namespace emu::filter
