// IofCallDriver: hands the IRP's next location to a device's dispatch
// routine, exactly as the kernel does, and checks what the verifier can
// check around the call: a live IRP and device, a location to hand over,
// IRQL, locks and cancel routine on entry; IRQL, locks and the pending rules
// on return.
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

// Only these majors may be sent at DISPATCH_LEVEL; every other request is
// sent from below it, where its lower drivers expect to run.
bool MaySendAtDispatchLevel(UCHAR major)
{
    return major == IRP_MJ_POWER || major == IRP_MJ_READ || major == IRP_MJ_WRITE ||
           major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
}

void CheckForwardIrql(PIRP irp)
{
    if (irp->CurrentLocation <= 1 || irp->CurrentLocation > irp->StackCount + 1 || CurrentIrql() < DISPATCH_LEVEL) {
        return;
    }
    const UCHAR major = (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction;
    if (!MaySendAtDispatchLevel(major)) {
        verifier::Report("request sent at DISPATCH_LEVEL that must be sent below it", "IofCallDriver",
                         IrpText(irp) + " major " + std::to_string(major));
    }
}

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
    CheckForwardIrql(irp);
    if (HoldsDriverLock() || HoldsCancelLock()) {
        verifier::Report("call out of the driver while holding a spin lock", "IofCallDriver", IrpText(irp));
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        verifier::Report("IRP forwarded with a cancel routine set", "IofCallDriver", IrpText(irp));
    }
    if (!CheckLocationToHandOver(irp, "IofCallDriver")) {
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

// `frame` lives on the caller's stack until its PopFrame.
void PushFrame(IrpRecord& record, CallFrame& frame, int location)
{
    frame.location = location;
    frame.thread = CurrentThread().id;
    std::lock_guard lock(IrpMutex());
    NoteReleased(record);
    record.calls++;
    NoteHandOver(record.irp, record, frame);
    record.frames.push_back(&frame);
    record.skippedAt = 0;
    record.lowestLocation = std::min(record.lowestLocation, location);
}

// The innermost frame of the calling thread that handed `frame`'s location
// down: the location above, or the same one after a skip. Caller holds
// IrpMutex().
CallFrame* CallerOf(IrpRecord& record, const CallFrame& frame)
{
    const uint64_t self = CurrentThread().id;
    for (auto it = record.frames.rbegin(); it != record.frames.rend(); ++it) {
        CallFrame& caller = **it;
        if (caller.thread == self && (caller.location == frame.location + 1 || caller.location == frame.location)) {
            return &caller;
        }
    }
    return nullptr;
}

// A dispatch routine that passed the IRP down, and neither completed it
// nor marked it pending, returns what the call down returned: its caller
// learns from that status whether the request is still in flight. (Or the
// status its own completion routine left in the request, as a driver that
// fails a request on its way up does.) STATUS_PENDING is the pending rules'
// business: it is right exactly when the request was marked pending.
void CheckLowerDriverReturn(const CallFrame& frame, NTSTATUS status, const Call& call)
{
    if (!frame.calledDown || frame.markedPending || status == STATUS_PENDING || frame.completedHere ||
        status == frame.lowerStatus ||
        (frame.routineRan && status == frame.routineStatus)) {
        return;
    }
    verifier::Report("dispatch routine returned a status other than the lower driver's", "IofCallDriver",
                     call.Text() + " returned " + Hex(static_cast<ULONG>(status)) + ", the call down " +
                         Hex(static_cast<ULONG>(frame.lowerStatus)));
}

// A dispatch routine that returns STATUS_SUCCESS has finished the request:
// it completed it, or passed it to a lower driver that did.
void CheckSuccessMeansCompleted(const CallFrame& frame, NTSTATUS status, const Call& call)
{
    if (status != STATUS_SUCCESS || frame.calledDown || frame.completedHere || frame.walked) {
        return;
    }
    verifier::Report("dispatch routine returned STATUS_SUCCESS for a request neither completed nor passed down",
                     "IofCallDriver", call.Text());
}

// Whether the IRP, still live, is cancelled with a cancel routine set.
// Caller holds IrpMutex().
bool CancelledWithRoutineLocked(const IrpRecord& record, PIRP irp)
{
    return record.state == IrpState::Live && irp->Cancel &&
           __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr;
}

// The pending rules, checked when the dispatch routine returns, and the
// caller's frame told what the call down returned.
// Returns whether the IRP, still live, is cancelled with a cancel routine
// set (a first sighting for CheckCancelField, taken under the same lock).
bool PopFrame(IrpRecord& record, CallFrame& frame, NTSTATUS status, const Call& call)
{
    std::lock_guard lock(IrpMutex());
    std::erase(record.frames, &frame);
    JudgeDispatchReturn(record.irp, record, frame, status, [&call] { return call.Text(); });
    const bool pending = status == STATUS_PENDING;
    CheckLowerDriverReturn(frame, status, call);
    CheckSuccessMeansCompleted(frame, status, call);
    const bool cancelledWithRoutine = CancelledWithRoutineLocked(record, record.irp);
    CallFrame* caller = CallerOf(record, frame);
    if (caller == nullptr) {
        return cancelledWithRoutine;
    }
    caller->calledDown = true;
    caller->lowerStatus = status;
    if (pending) {
        caller->lowerReturnedPending = true;
        caller->sharedLocationPending |= caller->location == frame.location;
    }
    return cancelledWithRoutine;
}

// A cancel routine set on an IRP that is already cancelled is never called:
// the dispatch routine that leaves it so has lost the request. IoCancelIrp
// sets Cancel before it takes the routine, both under the cancel spin lock,
// so a sighting is confirmed under that lock.
bool CancelledWithRoutine(const IrpRecord& record, PIRP irp)
{
    std::lock_guard lock(IrpMutex());
    return CancelledWithRoutineLocked(record, irp);
}

// `sighted`: what PopFrame saw.
void CheckCancelField(const IrpRecord& record, PIRP irp, const Call& call, bool sighted)
{
    if (!sighted || HoldsCancelLock()) {
        return;
    }
    const KIRQL irql = CurrentIrql();
    AcquireCancelLock(irql);
    const bool lost = CancelledWithRoutine(record, irp);
    IoReleaseCancelSpinLock(irql);
    if (lost) {
        verifier::Report("cancel routine set on a cancelled IRP left queued", "IofCallDriver", call.Text());
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
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
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
    CallFrame frame;
    PushFrame(*record, frame, Irp->CurrentLocation);
    emu::observe::Notify(emu::observe::Point::CallDriver, Irp, DeviceObject);

    ThreadState& self = CurrentThread();
    const KIRQL irqlBefore = self.irql;
    const size_t locksBefore = self.held.size();
    NTSTATUS status;
    {
        emu::DriverScope scope(DeviceObject->DriverObject);
        RoutineScope routine("dispatch routine", major, call.minor);
        routine.Handles(location);
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
    const bool cancelledWithRoutine = PopFrame(*record, frame, status, call);
    CheckCancelField(*record, Irp, call, cancelledWithRoutine);
    return status;
}

}  // extern "C"

NTSTATUS emu::HandOnHeldRequest(PDEVICE_OBJECT device, PIRP irp)
{
    handingOnHeldRequest = true;
    return IofCallDriver(device, irp);
}
