#include "tests/pnp/support/lower_spy.h"

#include "emulator/kernel/system.h"
#include "emulator/power/power_manager.h"

#include <algorithm>
#include <cstring>

namespace pondrel::test {

namespace {

LowerSpy* activeSpy = nullptr;

NTSTATUS SpyDispatch(PDEVICE_OBJECT, PIRP irp)
{
    return activeSpy->Dispatch(irp);
}

void SpyCancelWaitWake(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    activeSpy->CancelWaitWake(irp);
}

void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS SpyCapabilitiesCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        static_cast<LowerSpy*>(context)->EditCapabilitiesOnTheWayUp(
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities);
    }
    return STATUS_SUCCESS;
}

// The status to fail with travels as the context.
NTSTATUS SpyFailOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID failure)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    irp->IoStatus.Status = static_cast<NTSTATUS>(reinterpret_cast<LONG_PTR>(failure));
    return STATUS_SUCCESS;
}

bool IsSetOrQueryPower(PIO_STACK_LOCATION stack)
{
    return stack->MajorFunction == IRP_MJ_POWER &&
           (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

// What the tests check of a URB as the driver sent it.
void DescribeUrb(PURB urb, SeenRequest& seen)
{
    seen.urbFunction = urb->UrbHeader.Function;
    switch (seen.urbFunction) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        seen.pipeHandle = urb->UrbPipeRequest.PipeHandle;
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        seen.deconfigure = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        if (seen.deconfigure) {
            break;
        }
        auto* position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
        const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        while (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
            auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
            if (interface->Length == 0) {
                break;
            }
            if (seen.selectedInterfaces.empty()) {
                for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe) {
                    seen.firstInterfaceMaxTransfer.push_back(interface->Pipes[pipe].MaximumTransferSize);
                }
            }
            seen.selectedInterfaces.push_back(interface->InterfaceNumber);
            position += interface->Length;
        }
        break;
    }
    default:
        break;
    }
}

}  // namespace

LowerSpy::LowerSpy(PDEVICE_OBJECT pdo)
{
    activeSpy = this;
    driver_ = emu::CreateSystemDriver(u"\\Driver\\pondrel_lower_spy", [](PDRIVER_OBJECT driver) {
        for (auto& entry : driver->MajorFunction) {
            entry = SpyDispatch;
        }
    });
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    device_->Flags |= pdo->Flags & DO_POWER_PAGABLE;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
}

LowerSpy::~LowerSpy()
{
    for (std::thread& completer : completers_) {
        completer.join();
    }
    ReleaseHeld();
    emu::DriverScope scope(driver_);
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    emu::DeleteSystemDriver(driver_);
    activeSpy = nullptr;
}

std::vector<SeenRequest> LowerSpy::SeenIf(const std::function<bool(const SeenRequest&)>& wanted)
{
    std::vector<SeenRequest> found;
    for (const SeenRequest& request : Seen()) {
        if (wanted(request)) {
            found.push_back(request);
        }
    }
    return found;
}

std::vector<SeenRequest> LowerSpy::SeenPnp()
{
    return SeenIf([](const SeenRequest& r) { return r.major == IRP_MJ_PNP; });
}

std::vector<SeenRequest> LowerSpy::SeenPower()
{
    return SeenIf([](const SeenRequest& r) { return r.major == IRP_MJ_POWER; });
}

std::vector<SeenRequest> LowerSpy::SeenPower(UCHAR minor, ULONG type)
{
    return SeenIf([&](const SeenRequest& r) {
        return r.major == IRP_MJ_POWER && r.minor == minor && r.powerType == type;
    });
}

std::vector<SeenRequest> LowerSpy::SeenUrbs(USHORT urbFunction)
{
    return SeenIf([&](const SeenRequest& r) {
        return r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && r.urbFunction == urbFunction;
    });
}

std::optional<SeenRequest> LowerSpy::Last(UCHAR major, UCHAR minor)
{
    const std::vector<SeenRequest> found =
        SeenIf([&](const SeenRequest& r) { return r.major == major && r.minor == minor; });
    return found.empty() ? std::nullopt : std::optional<SeenRequest>(found.back());
}

size_t LowerSpy::Count(UCHAR major, UCHAR minor)
{
    return SeenIf([&](const SeenRequest& r) { return r.major == major && r.minor == minor; }).size();
}

Rule When(std::function<bool(const SeenRequest&)> matches, Verdict verdict)
{
    return [matches = std::move(matches), verdict](const SeenRequest& seen) -> std::optional<Verdict> {
        return matches(seen) ? std::optional(verdict) : std::nullopt;
    };
}

void LowerSpy::FailPnp(UCHAR minor, NTSTATUS status)
{
    AddRule(When([=](const SeenRequest& r) { return r.major == IRP_MJ_PNP && r.minor == minor; },
                 Verdict::CompleteWith(status)));
}

void LowerSpy::AnswerInternal(ULONG ioControlCode, Verdict answer)
{
    AddRule(When([=](const SeenRequest& r) {
        return r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && r.ioControlCode == ioControlCode;
    }, answer));
}

void LowerSpy::FailUrb(USHORT urbFunction, NTSTATUS status)
{
    AddRule(When([=](const SeenRequest& r) { return r.urbFunction == urbFunction; }, Verdict::CompleteWith(status)));
}

void LowerSpy::HoldUrbs(USHORT urbFunction)
{
    AddRule(When([=](const SeenRequest& r) { return r.urbFunction == urbFunction; }, Verdict::HoldIt()));
}

void LowerSpy::HoldPowerUp()
{
    AddRule(When([](const SeenRequest& r) {
        return r.major == IRP_MJ_POWER && r.minor == IRP_MN_SET_POWER && r.powerType == DevicePowerState &&
               r.powerState == PowerDeviceD0;
    }, Verdict::HoldIt()));
}

void LowerSpy::Release(PIRP irp, Verdict verdict)
{
    if (Locked([&] { return std::erase(held_, irp); }) == 0) {
        return;
    }
    emu::DriverScope scope(driver_);
    Apply(irp, verdict);
}

void LowerSpy::ReleaseHeld()
{
    for (PIRP irp : Held()) {
        Release(irp, Verdict::Pass());
    }
}

void LowerSpy::FinishWaitWake(PIRP irp, NTSTATUS status)
{
    emu::DriverScope scope(driver_);
    Locked([&] { std::erase(keptWaitWake_, irp); });
    IoSetCancelRoutine(irp, nullptr);
    Complete(irp, status);
}

void LowerSpy::EditCapabilitiesOnTheWayUp(PDEVICE_CAPABILITIES capabilities)
{
    if (auto edit = Locked([&] { return editCapabilities_; })) {
        edit(capabilities);
    }
}

// A PnP request notes what the PDO returned for it; a wait-wake request may
// be kept; everything else goes as the rules say.
NTSTATUS LowerSpy::Dispatch(PIRP irp)
{
    size_t index = 0;
    const SeenRequest seen = Record(irp, &index);
    if (seen.major == IRP_MJ_POWER && seen.minor == IRP_MN_WAIT_WAKE &&
        Locked([&] { return keepWaitWake_.has_value(); })) {
        return Keep(irp);
    }
    const Verdict verdict = Decide(seen);
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

void LowerSpy::CancelWaitWake(PIRP irp)
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

SeenRequest LowerSpy::Record(PIRP irp, size_t* index)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SeenRequest seen;
    seen.major = stack->MajorFunction;
    seen.minor = stack->MinorFunction;
    seen.statusOnArrival = irp->IoStatus.Status;
    if (seen.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        seen.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        if (seen.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            DescribeUrb(static_cast<PURB>(stack->Parameters.Others.Argument1), seen);
        }
    }
    if (seen.major == IRP_MJ_POWER && seen.minor == IRP_MN_WAIT_WAKE) {
        std::memcpy(&seen.powerState, &stack->Parameters.WaitWake.PowerState, sizeof(seen.powerState));
    } else if (seen.major == IRP_MJ_POWER) {
        std::memcpy(&seen.powerType, &stack->Parameters.Power.Type, sizeof(seen.powerType));
        std::memcpy(&seen.powerState, &stack->Parameters.Power.State, sizeof(seen.powerState));
    }

    std::lock_guard lock(mutex_);
    if (watched_ != nullptr && emu::IsDeviceObjectAlive(watched_)) {
        DeviceContext* context = ContextOf(watched_);
        seen.driverState = CurrentPnpState(context);
        seen.ioRefCount = InterlockedCompareExchange(&context->IoRefCount, 0, 0);
        seen.driverAttached = device_->AttachedDevice == watched_;
        seen.driverDeletePending = emu::IsDeletePending(watched_);
    }
    seen_.push_back(seen);
    *index = seen_.size() - 1;
    changed_.notify_all();
    return seen;
}

Verdict LowerSpy::Decide(const SeenRequest& seen)
{
    for (const Rule& rule : Locked([&] { return rules_; })) {
        if (std::optional<Verdict> verdict = rule(seen)) {
            return *verdict;
        }
    }
    return Verdict::Pass();
}

// The spy finishes its part of a set or query power request (as every
// driver in the stack must) whatever it then does with it.
NTSTATUS LowerSpy::Apply(PIRP irp, const Verdict& verdict)
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
            emu::DriverScope scope(driver_);
            Complete(irp, verdict.status, verdict.information);
        });
    });
    return STATUS_PENDING;
}

NTSTATUS LowerSpy::PassOn(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower_, irp);
}

// The emulated PnP manager unloads the driver as soon as the removal
// returns, without waiting for a power request whose callback into the
// driver has ended but which the power manager has not freed yet (on Windows
// such a request is the power manager's, not the driver's). The spy, as a
// lower driver may, lets those finish before the removal goes on.
std::optional<NTSTATUS> LowerSpy::FailureOnTheWayUp(UCHAR minor)
{
    return Locked([&]() -> std::optional<NTSTATUS> {
        auto it = failOnTheWayUp_.find(minor);
        return it == failOnTheWayUp_.end() ? std::nullopt : std::optional<NTSTATUS>(it->second);
    });
}

NTSTATUS LowerSpy::PassPnp(PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        emu::power::WaitForRequests(std::chrono::seconds(5));
    }
    if (const std::optional<NTSTATUS> failure = FailureOnTheWayUp(minor)) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SpyFailOnTheWayUp, reinterpret_cast<PVOID>(static_cast<LONG_PTR>(*failure)),
                               TRUE, TRUE, TRUE);
        const NTSTATUS lower = IofCallDriver(lower_, irp);
        return lower == STATUS_PENDING ? lower : *failure;
    }
    if (minor != IRP_MN_QUERY_CAPABILITIES || !Locked([&] { return editCapabilities_ != nullptr; })) {
        return PassOn(irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SpyCapabilitiesCompletion, this, TRUE, TRUE, TRUE);
    return IofCallDriver(lower_, irp);
}

// A kept wait-wake request waits with a cancel routine, as in a bus driver.
NTSTATUS LowerSpy::Keep(PIRP irp)
{
    IoMarkIrpPending(irp);
    Locked([&] { keptWaitWake_.push_back(irp); });
    changed_.notify_all();
    IoSetCancelRoutine(irp, SpyCancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Locked([&] { std::erase(keptWaitWake_, irp); });
        Complete(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

}  // namespace pondrel::test
