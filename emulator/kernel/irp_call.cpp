// IofCallDriver: hands the IRP's next location to a device's dispatch
// routine, exactly as the kernel does, and checks what the verifier can
// check around the call: a live IRP and device, locations left, IRQL, locks
// and cancel routine on entry; IRQL, locks and the pending rules on return.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/observe_internal.h"

#include <utility>

namespace emu::kernel {
namespace {

// Set while the power manager hands on a request it held for its turn: the
// location it marked pending on the caller's behalf is the one the target
// owns (see power_relay.cpp), which is the kernel's doing, not a skip.
thread_local bool handingOnHeldRequest = false;

// One call down, as findings describe it. Built only when there is one to
// report: every request passes here, most of them many times.
struct Call {
    PIRP irp;
    PDEVICE_OBJECT device;
    UCHAR major;
    UCHAR minor;

    std::string Text() const
    {
        char text[96];
        snprintf(text, sizeof(text), " major 0x%02X minor 0x%02X to ", major, minor);
        return IrpText(irp) + text + DriverText(device->DriverObject);
    }
};

// Refuses what the kernel would crash on; reports what it would flag.
bool CheckEntry(PDEVICE_OBJECT device, PIRP irp, const std::shared_ptr<IrpRecord>& record)
{
    const bool heldByKernel = std::exchange(handingOnHeldRequest, false);
    if (record == nullptr || record->state == IrpState::Freed) {
        verifier::Report("IofCallDriver with an IRP that is not live", "IofCallDriver", Hex(irp));
        return false;
    }
    if (record->state == IrpState::CompletedToTop) {
        verifier::Report("IofCallDriver with an IRP already completed", "IofCallDriver", IrpText(irp));
        return false;
    }
    if (!IsLiveDevice(device)) {
        verifier::Report("IofCallDriver to an invalid device object", "IofCallDriver", Hex(device));
        return false;
    }
    CheckIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (HoldsDriverLock() || HoldsCancelLock()) {
        verifier::Report("call out of the driver while holding a spin lock", "IofCallDriver", IrpText(irp));
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        verifier::Report("IRP forwarded with a cancel routine set", "IofCallDriver", IrpText(irp));
    }
    if (irp->CurrentLocation <= 1) {
        verifier::Report("no more IRP stack locations", "IofCallDriver", IrpText(irp));
        return false;
    }
    // A driver that marked the request pending and then skipped its
    // location hands the lower driver a location that already says
    // SL_PENDING_RETURNED; the lower driver may clear it, and the request
    // then never completes or completes twice.
    if (((irp->Tail.Overlay.CurrentStackLocation - 1)->Control & SL_PENDING_RETURNED) != 0 && !heldByKernel) {
        verifier::Report("pended request skipped down: the lower driver's location already carries SL_PENDING_RETURNED",
                         "IofCallDriver", IrpText(irp));
    }
    return true;
}

std::shared_ptr<CallFrame> PushFrame(IrpRecord& record, int location)
{
    auto frame = std::make_shared<CallFrame>();
    frame->location = location;
    frame->thread = CurrentThread().id;
    std::lock_guard lock(IrpMutex());
    record.frames.push_back(frame);
    record.skippedAt = 0;
    record.lowestLocation = std::min(record.lowestLocation, location);
    return frame;
}

// The pending rules, checked when the dispatch routine returns, and the
// caller's frame told that the call down returned STATUS_PENDING.
void PopFrame(IrpRecord& record, const std::shared_ptr<CallFrame>& frame, NTSTATUS status, const Call& call)
{
    std::lock_guard lock(IrpMutex());
    std::erase(record.frames, frame);
    const bool pending = status == STATUS_PENDING;
    if (pending && !frame->markedPending && !frame->lowerReturnedPending) {
        verifier::Report("STATUS_PENDING returned without IoMarkIrpPending", "IofCallDriver", call.Text());
    }
    if (!pending && (frame->markedPending || frame->sharedLocationPending)) {
        verifier::Report("IoMarkIrpPending without returning STATUS_PENDING", "IofCallDriver",
                         call.Text() + " returned " + Hex(static_cast<ULONG>(status)));
    }
    if (!pending) {
        return;
    }
    const uint64_t self = CurrentThread().id;
    for (auto it = record.frames.rbegin(); it != record.frames.rend(); ++it) {
        CallFrame& caller = **it;
        if (caller.thread != self) {
            continue;
        }
        if (caller.location == frame->location + 1) {
            caller.lowerReturnedPending = true;
            return;
        }
        if (caller.location == frame->location) {
            caller.lowerReturnedPending = true;
            caller.sharedLocationPending = true;
            return;
        }
    }
}

// The dispatch routine the next location's major function selects; null
// (reported) when there is none.
PDRIVER_DISPATCH DispatchRoutineFor(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR major = (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        verifier::Report("unknown major function", "IofCallDriver",
                         IrpText(irp) + " major " + std::to_string(major) + " to " + DriverText(device->DriverObject));
        return nullptr;
    }
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[major];
    if (dispatch == nullptr) {
        verifier::Report("no dispatch routine for the major function", "IofCallDriver",
                         IrpText(irp) + " major " + std::to_string(major) + " to " + DriverText(device->DriverObject));
    }
    return dispatch;
}

}  // namespace
}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

// <= DISPATCH_LEVEL. Returns what the dispatch routine returned; the IRP
// belongs to the called driver from here on (unless the caller kept it
// through a completion routine returning STATUS_MORE_PROCESSING_REQUIRED).
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    emu::sched::At(emu::sched::Point::Call, Irp);
    CheckStackBudget("IofCallDriver");
    auto record = FindIrp(Irp);
    if (!CheckEntry(DeviceObject, Irp, record)) {
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH dispatch = DispatchRoutineFor(DeviceObject, Irp);
    if (dispatch == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    const UCHAR major = location->MajorFunction;
    const Call call{Irp, DeviceObject, major, location->MinorFunction};
    auto frame = PushFrame(*record, Irp->CurrentLocation);
    emu::observe::Notify(emu::observe::Point::CallDriver, Irp, DeviceObject);

    ThreadState& self = CurrentThread();
    const KIRQL irqlBefore = self.irql;
    const size_t locksBefore = self.held.size();
    NTSTATUS status;
    {
        emu::DriverScope scope(DeviceObject->DriverObject);
        DriverLevel level("IofCallDriver");
        status = dispatch(DeviceObject, Irp);
    }
    if (self.irql != irqlBefore) {
        emu::verifier::Report("IRQL changed across a dispatch routine", "IofCallDriver",
                              call.Text() + ": IRQL " + std::to_string(irqlBefore) + " -> " + std::to_string(self.irql));
        SetIrql(irqlBefore);
    }
    if (self.held.size() != locksBefore) {
        emu::verifier::Report("dispatch routine returned holding a spin lock", "IofCallDriver", call.Text());
    }
    PopFrame(*record, frame, status, call);
    return status;
}

}  // extern "C"

NTSTATUS emu::HandOnHeldRequest(PDEVICE_OBJECT device, PIRP irp)
{
    handingOnHeldRequest = true;
    return IofCallDriver(device, irp);
}
