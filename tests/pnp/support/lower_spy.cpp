#include "tests/pnp/support/lower_spy.h"

#include "emulator/kernel/system.h"
#include "emulator/power/power_manager.h"

#include <algorithm>

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

void Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
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

bool IsPowerUp(PIO_STACK_LOCATION stack)
{
    return stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
           stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
}

LONG ReadLong(LONG* value)
{
    return InterlockedCompareExchange(value, 0, 0);
}

// What the tests check of a URB as the driver sent it.
void DescribeUrb(PURB urb, SeenRequest& seen)
{
    seen.urbFunction = urb->UrbHeader.Function;
    switch (seen.urbFunction) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        seen.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
        break;
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
    ReleasePowerUp();
    ReleaseUrbs();
    emu::DriverScope scope(driver_);
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    emu::DeleteSystemDriver(driver_);
    activeSpy = nullptr;
}

void LowerSpy::Watch(PDEVICE_OBJECT functionDevice)
{
    std::lock_guard lock(mutex_);
    watched_ = functionDevice;
}

std::vector<SeenRequest> LowerSpy::Seen()
{
    std::lock_guard lock(mutex_);
    return seen_;
}

std::vector<SeenRequest> LowerSpy::SeenPnp()
{
    std::vector<SeenRequest> pnp;
    for (const SeenRequest& request : Seen()) {
        if (request.major == IRP_MJ_PNP) {
            pnp.push_back(request);
        }
    }
    return pnp;
}

size_t LowerSpy::Count(UCHAR major, UCHAR minor)
{
    std::lock_guard lock(mutex_);
    return std::count_if(seen_.begin(), seen_.end(),
                         [&](const SeenRequest& r) { return r.major == major && r.minor == minor; });
}

size_t LowerSpy::CountUrbs(USHORT urbFunction)
{
    std::lock_guard lock(mutex_);
    return std::count_if(seen_.begin(), seen_.end(), [&](const SeenRequest& r) {
        return r.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && r.urbFunction == urbFunction;
    });
}

void LowerSpy::ForgetSeen()
{
    std::lock_guard lock(mutex_);
    seen_.clear();
}

bool LowerSpy::WaitForSeen(UCHAR major, UCHAR minor, size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(seen_.begin(), seen_.end(), [&](const SeenRequest& r) {
                   return r.major == major && r.minor == minor;
               })) >= count;
    });
}

void LowerSpy::FailPnp(UCHAR minor, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    pnpFailures_[minor] = status;
}

void LowerSpy::AnswerInternal(ULONG ioControlCode, InternalAnswer answer)
{
    std::lock_guard lock(mutex_);
    internalAnswers_[ioControlCode] = answer;
}

void LowerSpy::FailUrb(USHORT urbFunction, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    urbFailures_[urbFunction] = status;
}

void LowerSpy::ForgetAnswers()
{
    std::lock_guard lock(mutex_);
    internalAnswers_.clear();
    urbFailures_.clear();
    pnpFailures_.clear();
}

void LowerSpy::KeepWaitWake(WaitWakeCancel onCancel, NTSTATUS cancelStatus)
{
    std::lock_guard lock(mutex_);
    keepWaitWake_ = onCancel;
    cancelStatus_ = cancelStatus;
}

bool LowerSpy::WaitForKeptWaitWake(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return keptWaitWake_.size() >= count; });
}

std::vector<PIRP> LowerSpy::KeptWaitWake()
{
    std::lock_guard lock(mutex_);
    return keptWaitWake_;
}

void LowerSpy::FinishWaitWake(PIRP irp, NTSTATUS status)
{
    emu::DriverScope scope(driver_);
    {
        std::lock_guard lock(mutex_);
        std::erase(keptWaitWake_, irp);
    }
    IoSetCancelRoutine(irp, nullptr);
    Complete(irp, status);
}

size_t LowerSpy::WaitWakeCancels()
{
    std::lock_guard lock(mutex_);
    return waitWakeCancels_;
}

void LowerSpy::HoldUrbs(USHORT urbFunction)
{
    std::lock_guard lock(mutex_);
    holdUrbs_ = urbFunction;
}

bool LowerSpy::WaitForHeldUrbs(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return heldUrbs_.size() >= count; });
}

void LowerSpy::ReleaseUrbs()
{
    std::vector<PIRP> held;
    {
        std::lock_guard lock(mutex_);
        holdUrbs_.reset();
        held.swap(heldUrbs_);
    }
    emu::DriverScope scope(driver_);
    for (PIRP irp : held) {
        PassOn(irp);
    }
}

void LowerSpy::EditCapabilities(std::function<void(PDEVICE_CAPABILITIES)> edit)
{
    std::lock_guard lock(mutex_);
    editCapabilities_ = std::move(edit);
}

void LowerSpy::EditCapabilitiesOnTheWayUp(PDEVICE_CAPABILITIES capabilities)
{
    std::function<void(PDEVICE_CAPABILITIES)> edit;
    {
        std::lock_guard lock(mutex_);
        edit = editCapabilities_;
    }
    if (edit) {
        edit(capabilities);
    }
}

void LowerSpy::HoldPowerUp()
{
    std::lock_guard lock(mutex_);
    holdPowerUp_ = true;
}

bool LowerSpy::WaitForHeldPowerUp(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !heldPowerUp_.empty(); });
}

void LowerSpy::ReleasePowerUp()
{
    std::vector<PIRP> held;
    {
        std::lock_guard lock(mutex_);
        holdPowerUp_ = false;
        held.swap(heldPowerUp_);
    }
    emu::DriverScope scope(driver_);
    for (PIRP irp : held) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        PoCallDriver(lower_, irp);
    }
}

NTSTATUS LowerSpy::Dispatch(PIRP irp)
{
    const size_t index = Record(irp);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP: {
        const NTSTATUS status = DispatchPnp(irp);
        NoteReturned(index, status);
        return status;
    }
    case IRP_MJ_POWER:
        return DispatchPower(irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DispatchInternal(irp);
    default:
        return PassOn(irp);
    }
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

size_t LowerSpy::Record(PIRP irp)
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
    if (seen.major == IRP_MJ_POWER) {
        seen.powerType = stack->Parameters.Power.Type;
        seen.powerState = stack->Parameters.Power.State;
    }

    std::lock_guard lock(mutex_);
    if (watched_ != nullptr && emu::IsDeviceObjectAlive(watched_)) {
        DeviceContext* context = ContextOf(watched_);
        seen.driverState = CurrentPnpState(context);
        seen.ioRefCount = ReadLong(&context->IoRefCount);
        seen.driverAttached = device_->AttachedDevice == watched_;
        seen.driverDeletePending = emu::IsDeletePending(watched_);
    }
    seen_.push_back(seen);
    changed_.notify_all();
    return seen_.size() - 1;
}

void LowerSpy::NoteReturned(size_t index, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    seen_[index].lowerReturned = status;
}

NTSTATUS LowerSpy::PassOn(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower_, irp);
}

NTSTATUS LowerSpy::DispatchPnp(PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    std::optional<NTSTATUS> failure;
    bool edit = false;
    {
        std::lock_guard lock(mutex_);
        auto found = pnpFailures_.find(minor);
        if (found != pnpFailures_.end()) {
            failure = found->second;
        }
        edit = minor == IRP_MN_QUERY_CAPABILITIES && editCapabilities_ != nullptr;
    }
    // The emulated PnP manager unloads the driver as soon as the removal
    // returns, without waiting for a power request whose callback into the
    // driver has ended but which the power manager has not freed yet (on
    // Windows such a request is the power manager's, not the driver's). The
    // spy, as a lower driver may, lets those finish before the removal goes on.
    if (!failure && minor == IRP_MN_REMOVE_DEVICE) {
        emu::power::WaitForRequests(std::chrono::seconds(5));
    }
    if (!failure && edit) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SpyCapabilitiesCompletion, this, TRUE, TRUE, TRUE);
        return IofCallDriver(lower_, irp);
    }
    if (!failure) {
        return PassOn(irp);
    }
    Complete(irp, *failure);
    return *failure;
}

NTSTATUS LowerSpy::DispatchPower(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        bool keep = false;
        {
            std::lock_guard lock(mutex_);
            keep = keepWaitWake_.has_value();
        }
        if (keep) {
            return Keep(irp);
        }
    }
    if (IsPowerUp(stack)) {
        std::lock_guard lock(mutex_);
        if (holdPowerUp_) {
            IoMarkIrpPending(irp);
            heldPowerUp_.push_back(irp);
            changed_.notify_all();
            return STATUS_PENDING;
        }
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
}

// A kept wait-wake request waits with a cancel routine, as in a bus driver.
NTSTATUS LowerSpy::Keep(PIRP irp)
{
    IoMarkIrpPending(irp);
    {
        std::lock_guard lock(mutex_);
        keptWaitWake_.push_back(irp);
        changed_.notify_all();
    }
    IoSetCancelRoutine(irp, SpyCancelWaitWake);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
            std::lock_guard lock(mutex_);
            std::erase(keptWaitWake_, irp);
        }
        Complete(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

NTSTATUS LowerSpy::DispatchInternal(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    std::optional<InternalAnswer> answer;
    {
        std::lock_guard lock(mutex_);
        auto found = internalAnswers_.find(code);
        if (found != internalAnswers_.end()) {
            answer = found->second;
        }
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            holdUrbs_ == static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Function) {
            IoMarkIrpPending(irp);
            heldUrbs_.push_back(irp);
            changed_.notify_all();
            return STATUS_PENDING;
        }
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            auto failure = urbFailures_.find(static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Function);
            if (failure != urbFailures_.end()) {
                answer = InternalAnswer{failure->second, false, std::nullopt};
            }
        }
    }
    if (!answer) {
        return PassOn(irp);
    }

    if (answer->portStatus) {
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = *answer->portStatus;
    }
    if (!answer->pend) {
        Complete(irp, answer->status);
        return answer->status;
    }

    IoMarkIrpPending(irp);
    std::lock_guard lock(mutex_);
    completers_.emplace_back([this, irp, status = answer->status] {
        emu::DriverScope scope(driver_);
        Complete(irp, status);
    });
    return STATUS_PENDING;
}

}  // namespace pondrel::test
