#include "tests/power/lower_probe.h"

#include "emulator/kernel/system.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace power_test {
namespace {

std::atomic<LowerProbe*> theProbe{nullptr};

bool IsSetOrQuery(UCHAR minor)
{
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

}  // namespace

LowerProbe::LowerProbe(PDEVICE_OBJECT pdo)
{
    theProbe = this;
    driver_ = emu::CreateSystemDriver(u"\\Driver\\PowerProbe", [](PDRIVER_OBJECT driver) {
        for (auto& routine : driver->MajorFunction) {
            routine = &LowerProbe::Dispatch;
        }
    });
    if (!NT_SUCCESS(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_))) {
        device_ = nullptr;
        return;
    }
    device_->Flags |= pdo->Flags & DO_POWER_PAGABLE;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
}

LowerProbe::~LowerProbe()
{
    Detach();
    if (device_ != nullptr) {
        IoDeleteDevice(device_);
    }
    emu::DeleteSystemDriver(driver_);
    theProbe = nullptr;
}

void LowerProbe::Detach()
{
    PDEVICE_OBJECT lower = nullptr;
    {
        std::lock_guard lock(mutex_);
        std::swap(lower, lower_);
    }
    if (lower != nullptr) {
        IoDetachDevice(lower);
    }
}

void LowerProbe::Watch(DeviceContext* context)
{
    std::lock_guard lock(mutex_);
    context_ = context;
}

void LowerProbe::SetRule(Rule rule)
{
    std::lock_guard lock(mutex_);
    rule_ = std::move(rule);
}

std::vector<SeenRequest> LowerProbe::Seen()
{
    std::lock_guard lock(mutex_);
    return seen_;
}

std::vector<SeenRequest> LowerProbe::Seen(UCHAR minor, ULONG type)
{
    std::vector<SeenRequest> found;
    for (const auto& request : Seen()) {
        if (request.minor == minor && request.type == type) {
            found.push_back(request);
        }
    }
    return found;
}

size_t LowerProbe::SeenCount()
{
    std::lock_guard lock(mutex_);
    return seen_.size();
}

uint64_t LowerProbe::StartNextCalls()
{
    std::lock_guard lock(mutex_);
    return startNextCalls_;
}

bool LowerProbe::WaitForHeld(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
}

std::vector<PIRP> LowerProbe::Held()
{
    std::lock_guard lock(mutex_);
    return held_;
}

void LowerProbe::Release(PIRP irp, Verdict verdict)
{
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(held_.begin(), held_.end(), irp);
        if (it == held_.end()) {
            return;
        }
        held_.erase(it);
    }
    Apply(irp, verdict);
}

NTSTATUS LowerProbe::Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    LowerProbe* probe = theProbe.load();
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_POWER:
        return probe->DispatchPowerRequest(irp);
    case IRP_MJ_PNP:
        return probe->DispatchPnpRequest(irp);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(probe->lower_, irp);
    }
}

NTSTATUS LowerProbe::DispatchPowerRequest(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SeenRequest seen;
    seen.minor = stack->MinorFunction;
    seen.irp = irp;
    if (seen.minor == IRP_MN_WAIT_WAKE) {
        std::memcpy(&seen.state, &stack->Parameters.WaitWake.PowerState, sizeof(seen.state));
    } else {
        // Copied: the tests send values outside the enumerations' ranges.
        std::memcpy(&seen.type, &stack->Parameters.Power.Type, sizeof(seen.type));
        std::memcpy(&seen.state, &stack->Parameters.Power.State, sizeof(seen.state));
    }

    Rule rule;
    {
        std::lock_guard lock(mutex_);
        if (context_ != nullptr) {
            seen.driverRefs = std::atomic_ref<LONG>(context_->IoRefCount).load();
        }
        seen_.push_back(seen);
        rule = rule_;
    }
    Verdict verdict = rule ? rule(seen) : Verdict::Pass();

    if (verdict.action == Verdict::Action::Hold) {
        IoMarkIrpPending(irp);
        {
            std::lock_guard lock(mutex_);
            held_.push_back(irp);
        }
        changed_.notify_all();
        return STATUS_PENDING;
    }
    return Apply(irp, verdict);
}

NTSTATUS LowerProbe::Apply(PIRP irp, Verdict verdict)
{
    if (IsSetOrQuery(IoGetCurrentIrpStackLocation(irp)->MinorFunction)) {
        {
            std::lock_guard lock(mutex_);
            ++startNextCalls_;
        }
        PoStartNextPowerIrp(irp);
    }
    if (verdict.action == Verdict::Action::Complete) {
        irp->IoStatus.Status = verdict.status;
        irp->IoStatus.Information = verdict.information;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return verdict.status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
}

// Removal takes the probe out of the stack after the bus has seen it. Its
// device object goes with the probe, once the driver above has detached.
NTSTATUS LowerProbe::DispatchPnpRequest(PIRP irp)
{
    const bool removal = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower_, irp);
    if (removal) {
        Detach();
    }
    return status;
}

}  // namespace power_test
