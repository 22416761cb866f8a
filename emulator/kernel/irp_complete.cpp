// IofCompleteRequest: the completion walk up the stack locations exactly as
// the kernel does it (invoke flags against the current status and
// Irp->Cancel, PendingReturned recomputed per level and propagated through
// levels without a routine, lower locations cleared before each routine,
// STATUS_MORE_PROCESSING_REQUIRED stopping the walk), then what happens at
// the top: a threaded IRP's second stage runs as an APC in its thread,
// writing the status block and event only for a non-error status or an IRP
// that pended; an IRP from IoAllocateIrp must never get there.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/observe_internal.h"

#include <cstring>
#include <map>

namespace emu::kernel {
namespace {

// The driver that owns the IRP at its current location: the one whose
// completion routine returned STATUS_MORE_PROCESSING_REQUIRED, or the one
// that was called with it.
PDRIVER_OBJECT OwnerAtCurrentLocation(PIRP irp, const IrpRecord& record)
{
    if (irp->CurrentLocation > irp->StackCount) {
        return record.creator;
    }
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    return device != nullptr ? device->DriverObject : nullptr;
}

bool IsUntouchedPnpCompletion(PIRP irp, const IrpRecord& record)
{
    if (irp->CurrentLocation > irp->StackCount) {
        return false;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    return location->MajorFunction == IRP_MJ_PNP && irp->IoStatus.Status == STATUS_NOT_SUPPORTED &&
           location->DeviceObject != nullptr && LowerDeviceOf(location->DeviceObject) != nullptr &&
           record.lowestLocation >= irp->CurrentLocation;
}

// A cancel of a pending stop or removal must go to every driver of the
// stack, the bus driver included, even from a driver that never saw the
// query: completed by a driver that has a lower device and never handed the
// request down, it leaves the drivers below in their pending state.
bool IsCancelKeptFromBelow(PIRP irp, const IrpRecord& record)
{
    if (irp->CurrentLocation > irp->StackCount) {
        return false;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const bool cancel = location->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE ||
                        location->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE;
    return location->MajorFunction == IRP_MJ_PNP && cancel && location->DeviceObject != nullptr &&
           LowerDeviceOf(location->DeviceObject) != nullptr && record.lowestLocation >= irp->CurrentLocation;
}

// The location of a `major` request being completed by a driver that has a
// lower device and never handed the request down; null for any other.
PIO_STACK_LOCATION KeptFromBelow(PIRP irp, const IrpRecord& record, UCHAR major)
{
    if (irp->CurrentLocation > irp->StackCount) {
        return nullptr;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const bool kept = location->MajorFunction == major && location->DeviceObject != nullptr &&
                      LowerDeviceOf(location->DeviceObject) != nullptr &&
                      record.lowestLocation >= irp->CurrentLocation;
    return kept ? location : nullptr;
}

// A function driver passes every PnP request down, except the three it may
// refuse by itself (IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_STOP_DEVICE,
// IRP_MN_QUERY_REMOVE_DEVICE); the system's own filters and bus drivers are
// not judged. The untouched and cancel cases above have findings of their own.
bool IsPnpKeptFromBelow(PIRP irp, const IrpRecord& record)
{
    PIO_STACK_LOCATION location = KeptFromBelow(irp, record, IRP_MJ_PNP);
    if (location == nullptr) {
        return false;
    }
    const UCHAR minor = location->MinorFunction;
    const bool mayRefuse = minor == IRP_MN_QUERY_INTERFACE || minor == IRP_MN_QUERY_STOP_DEVICE ||
                           minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
                           minor == IRP_MN_CANCEL_REMOVE_DEVICE;
    return !mayRefuse && irp->IoStatus.Status != STATUS_NOT_SUPPORTED &&
           !IsSystemDriver(location->DeviceObject->DriverObject);
}

// A driver that is not the provider a WMI request names passes it down:
// completed by one that has a lower device and never handed it down, the
// request never reaches its provider.
bool IsWmiKeptFromBelow(PIRP irp, const IrpRecord& record)
{
    PIO_STACK_LOCATION location = KeptFromBelow(irp, record, IRP_MJ_SYSTEM_CONTROL);
    return location != nullptr &&
           location->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(location->DeviceObject);
}

// Per device object: the last failure a device set-power request came up
// to it with from the drivers below. Guarded by IrpMutex().
std::map<PDEVICE_OBJECT, NTSTATUS>& DeviceSetFailuresFromBelow()
{
    static std::map<PDEVICE_OBJECT, NTSTATUS> failures;
    return failures;
}

// The power type as a plain number: a driver may send any value, and
// loading one outside the enumeration through the enum type is undefined.
LONG PowerTypeOf(PIO_STACK_LOCATION location)
{
    LONG type = 0;
    memcpy(&type, &location->Parameters.Power.Type, sizeof type);
    return type;
}

bool IsSetPower(PIO_STACK_LOCATION location)
{
    return location->MajorFunction == IRP_MJ_POWER && location->MinorFunction == IRP_MN_SET_POWER;
}

// PowerDownFail, PowerUpFail: a function or filter driver (one with a
// device object below it) never fails IRP_MN_SET_POWER. A failure that
// came up from the drivers below, for this request or for the device set
// the driver asked for on its behalf, is theirs, passed on.
void CheckSetPowerNotFailed(PIRP irp, const IrpRecord& record)
{
    if (irp->CurrentLocation > irp->StackCount || NT_SUCCESS(irp->IoStatus.Status)) {
        return;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!IsSetPower(location) || location->DeviceObject == nullptr || LowerDeviceOf(location->DeviceObject) == nullptr) {
        return;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    // A stack being taken apart answers for a device that is gone; the
    // emulator's own filter plays the lower drivers.
    if (status == STATUS_DELETE_PENDING || status == STATUS_NO_SUCH_DEVICE ||
        IsSystemDriver(location->DeviceObject->DriverObject)) {
        return;
    }
    std::lock_guard lock(IrpMutex());
    const bool cameUp = record.cameUpAt == irp->CurrentLocation && record.cameUpWith == status;
    auto below = DeviceSetFailuresFromBelow().find(location->DeviceObject);
    if (cameUp || (below != DeviceSetFailuresFromBelow().end() && below->second == status)) {
        return;
    }
    LONG state = 0;
    memcpy(&state, &location->Parameters.Power.State, sizeof(state));
    const bool down = state > 1;  // deeper than PowerSystemWorking or PowerDeviceD0
    verifier::Report(down ? "function driver failed a set-power request to a lower power state (PowerDownFail)"
                          : "function driver failed a set-power request to full power (PowerUpFail)",
                     "IofCompleteRequest", IrpText(irp) + " in " + DriverText(location->DeviceObject->DriverObject));
}

// A set-power request on its way up reaches a driver's completion routine:
// what it came up with is the lower drivers' doing.
void NoteSetPowerCameUp(PIRP irp, IrpRecord& record)
{
    if (irp->CurrentLocation > irp->StackCount) {
        return;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!IsSetPower(location)) {
        return;
    }
    std::lock_guard lock(IrpMutex());
    record.cameUpAt = irp->CurrentLocation;
    record.cameUpWith = irp->IoStatus.Status;
    if (location->DeviceObject != nullptr && PowerTypeOf(location) == DevicePowerState &&
        !NT_SUCCESS(irp->IoStatus.Status)) {
        DeviceSetFailuresFromBelow()[location->DeviceObject] = irp->IoStatus.Status;
    }
}

// The entry checks; false when the IRP must not be walked at all.
bool CheckEntry(PIRP irp, const std::shared_ptr<IrpRecord>& record)
{
    if (record == nullptr) {
        verifier::Report("IofCompleteRequest with an address that is not an IRP", "IofCompleteRequest", Hex(irp));
        return false;
    }
    if (record->state != IrpState::Live || irp->CurrentLocation > irp->StackCount + 1) {
        verifier::Report("IRP completed twice", "IofCompleteRequest", IrpText(irp) + " was already completed");
        return false;
    }
    if (!CheckLocationToComplete(irp)) {
        return false;
    }
    PDRIVER_OBJECT current = CurrentDriver();
    PDRIVER_OBJECT owner = OwnerAtCurrentLocation(irp, *record);
    if (current != nullptr && owner != nullptr && current != owner) {
        verifier::Report("IRP completed twice", "IofCompleteRequest",
                         IrpText(irp) + " completed by " + DriverText(current) + " while " + DriverText(owner) +
                             " owns it");
        return false;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    if (status == STATUS_PENDING || static_cast<ULONG>(status) == 0xFFFFFFFF) {
        verifier::Report("IRP completed with STATUS_PENDING", "IofCompleteRequest", IrpText(irp));
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        verifier::Report("IRP completed with a cancel routine set", "IofCompleteRequest", IrpText(irp));
    }
    CheckIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    if (HoldsDriverLock() || HoldsCancelLock()) {
        verifier::Report("call out of the driver while holding a spin lock", "IofCompleteRequest", IrpText(irp));
    }
    if (IsUntouchedPnpCompletion(irp, *record)) {
        char minor[8];
        snprintf(minor, sizeof(minor), "0x%02X", IoGetCurrentIrpStackLocation(irp)->MinorFunction);
        verifier::Report("PnP request completed untouched instead of passed down", "IofCompleteRequest",
                         IrpText(irp) + " minor " + minor);
    }
    CheckSetPowerNotFailed(irp, *record);
    if (IsCancelKeptFromBelow(irp, *record)) {
        verifier::Report("cancel-stop or cancel-remove completed without being passed down", "IofCompleteRequest",
                         IrpText(irp));
    }
    if (IsPnpKeptFromBelow(irp, *record)) {
        char minor[8];
        snprintf(minor, sizeof(minor), "0x%02X", IoGetCurrentIrpStackLocation(irp)->MinorFunction);
        verifier::Report("PnP request completed by the function driver instead of passed down", "IofCompleteRequest",
                         IrpText(irp) + " minor " + minor);
    }
    if (IsWmiKeptFromBelow(irp, *record)) {
        verifier::Report("WMI request completed without being passed down by a driver that is not its provider",
                         "IofCompleteRequest", IrpText(irp));
    }
    return true;
}

// What the kernel clears in a location before its completion routine runs;
// MajorFunction, DeviceObject, CompletionRoutine and Context survive.
void ClearLocation(PIO_STACK_LOCATION location)
{
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    location->Parameters.Others.Argument1 = nullptr;
    location->Parameters.Others.Argument2 = nullptr;
    location->Parameters.Others.Argument3 = nullptr;
    location->Parameters.Others.Argument4 = nullptr;
    location->FileObject = nullptr;
}

bool ShouldInvoke(PIRP irp, UCHAR control)
{
    const NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// MarkPower, MarkPowerDown, MarkDevicePower: a driver that keeps a system
// set-power request after the drivers below have finished it (to complete
// it once its device request is done) must have marked it pending in its
// dispatch routine and returned STATUS_PENDING (or returned the lower
// driver's STATUS_PENDING); otherwise its dispatch routine has reported a
// status for a request that is not complete. Read before the routine runs,
// which may complete and free the request.
bool IsUnmarkedSystemSet(PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    return IsSetPower(location) && PowerTypeOf(location) == SystemPowerState &&
           (location->Control & SL_PENDING_RETURNED) == 0 && !irp->PendingReturned;
}

void ReportHeldSystemSetUnmarked(PIRP irp, PDRIVER_OBJECT driver)
{
    verifier::Report("system set-power request held with STATUS_MORE_PROCESSING_REQUIRED without being marked "
                     "pending (MarkPower)",
                     "IofCompleteRequest", IrpText(irp) + " in " + DriverText(driver));
}

// Calls one completion routine in its owner's scope and checks what it
// left behind. Returns its status.
NTSTATUS InvokeCompletionRoutine(PIRP irp, PIO_STACK_LOCATION lower, IrpRecord& record)
{
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = record.creator;
    if (irp->CurrentLocation != irp->StackCount + 1) {
        device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        driver = device != nullptr ? device->DriverObject : nullptr;
    }
    const bool unmarkedSystemSet = device != nullptr && IsUnmarkedSystemSet(irp);
    ThreadState& self = CurrentThread();
    const KIRQL irqlBefore = self.irql;
    const size_t locksBefore = self.held.size();
    NTSTATUS status;
    {
        DriverScope scope(driver);
        RoutineScope routine("completion routine");
        routine.Handles(device != nullptr ? IoGetCurrentIrpStackLocation(irp) : nullptr);
        DriverLevel level("IofCompleteRequest");
        status = lower->CompletionRoutine(device, irp, lower->Context);
    }
    if (self.irql != irqlBefore) {
        verifier::Report("IRQL changed across a completion routine", "IofCompleteRequest",
                         IrpText(irp) + " in " + DriverText(driver) + ": IRQL " + std::to_string(irqlBefore) +
                             " -> " + std::to_string(self.irql));
        SetIrql(irqlBefore);
    }
    if (self.held.size() != locksBefore) {
        verifier::Report("completion routine returned holding a spin lock", "IofCompleteRequest",
                         IrpText(irp) + " in " + DriverText(driver));
    }
    bool freed;  // by a completion the routine started itself: reported by the caller
    {
        std::lock_guard lock(IrpMutex());
        freed = record.state == IrpState::Freed;
    }
    if (!freed && status == STATUS_MORE_PROCESSING_REQUIRED && unmarkedSystemSet) {
        ReportHeldSystemSetUnmarked(irp, driver);
    }
    if (!freed && status != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned && device != nullptr &&
        !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED)) {
        verifier::Report("completion routine did not mark a pending IRP pending", "IofCompleteRequest",
                         IrpText(irp) + " in " + DriverText(driver));
    }
    return status;
}

// The status a completion routine of a dispatch routine still running saw
// (or left): what the lower drivers made of the request. Caller holds
// IrpMutex().
void NoteRoutineStatus(PIRP irp, IrpRecord& record)
{
    if (CallFrame* frame = FrameAt(record, irp->CurrentLocation)) {
        frame->routineRan = true;
        frame->routineStatus = irp->IoStatus.Status;
    }
}

// A dispatch routine completing with success a request its lower drivers
// failed hides the failure from the sender. A PnP request the drivers below
// do not support is the exception: a function driver may handle it itself
// on the way up. Caller holds IrpMutex().
void CheckSuccessOverLowerFailure(PIRP irp, const CallFrame& frame)
{
    if (!frame.routineRan || !NT_ERROR(frame.routineStatus) || irp->IoStatus.Status != STATUS_SUCCESS) {
        return;
    }
    if (frame.routineStatus == STATUS_NOT_SUPPORTED && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP) {
        return;
    }
    verifier::Report("IRP completed with success after the lower driver failed it", "IofCompleteRequest",
                     IrpText(irp) + ": the lower drivers gave " + Hex(static_cast<ULONG>(frame.routineStatus)));
}

// What the walk knew of a location before calling its completion routine.
// Once the routine returns STATUS_MORE_PROCESSING_REQUIRED the request is
// its driver's again, and another of its threads may already be writing it,
// so the kernel reads nothing of it after the return; the status noted is
// the one the lower drivers left.
struct KeptAt {
    CCHAR location;
    NTSTATUS status;
    PDEVICE_OBJECT device;
};

// A completion routine returned STATUS_MORE_PROCESSING_REQUIRED: unless it
// freed, completed or passed the IRP on meanwhile, its driver now keeps it.
void NoteKeptIfStillHeld(const KeptAt& kept, IrpRecord& record, uint64_t completion, uint64_t callsBefore)
{
    std::lock_guard lock(IrpMutex());
    if (record.state != IrpState::Live || record.completions != completion || record.calls != callsBefore) {
        return;
    }
    if (CallFrame* frame = FrameAt(record, kept.location)) {
        frame->routineRan = true;
        frame->routineStatus = kept.status;
    }
    NoteKept(record, kept.device != nullptr ? kept.device->DriverObject : record.creator);
}

// A request completed by a driver that set a completion routine for the
// driver below and never passed the request down: the routine never runs,
// so whatever it was to do (free a context, signal a waiter) is lost.
void CheckRoutineSetWithoutCall(PIRP irp, const IrpRecord& record)
{
    if (irp->CurrentLocation <= 1 || irp->CurrentLocation > irp->StackCount + 1) {
        return;
    }
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    int lowest;
    {
        std::lock_guard lock(IrpMutex());
        lowest = record.lowestLocation;
    }
    if (next->CompletionRoutine != nullptr && lowest > irp->CurrentLocation - 1) {
        verifier::Report("IRP completed with a completion routine set for a call down never made",
                         "IofCompleteRequest", IrpText(irp));
    }
}

// Walks from the current location to the top. False when a completion
// routine kept the IRP (or completed it again and let the walk go on).
bool WalkToTop(PIRP irp, IrpRecord& record, uint64_t completion)
{
    PIO_STACK_LOCATION lower = IoGetCurrentIrpStackLocation(irp);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    for (; irp->CurrentLocation <= irp->StackCount + 1;
         ++lower, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
        irp->PendingReturned = (lower->Control & SL_PENDING_RETURNED) != 0;
        NoteLocationWalked(irp, record, irp->CurrentLocation - 1, irp->PendingReturned);
        observe::Notify(observe::Point::LevelCompleted, irp, lower->DeviceObject);
        if (!ShouldInvoke(irp, lower->Control)) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
                __atomic_fetch_or(&IoGetCurrentIrpStackLocation(irp)->Control, SL_PENDING_RETURNED, __ATOMIC_RELAXED);
            }
            ClearLocation(lower);
            continue;
        }
        ClearLocation(lower);
        const uint64_t callsBefore = record.calls;
        const KeptAt kept{irp->CurrentLocation, irp->IoStatus.Status,
                          irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                                                  : nullptr};
        NoteSetPowerCameUp(irp, record);
        if (InvokeCompletionRoutine(irp, lower, record) == STATUS_MORE_PROCESSING_REQUIRED) {
            NoteKeptIfStillHeld(kept, record, completion, callsBefore);
            return false;
        }
        std::lock_guard lock(IrpMutex());
        NoteRoutineStatus(irp, record);
        if (record.completions != completion) {
            verifier::Report("IRP completed twice", "IofCompleteRequest",
                             IrpText(irp) + ": completed inside its completion routine, which then let the "
                                            "walk go on");
            return false;
        }
    }
    return true;
}

// The second stage of a threaded IRP, run in its thread at APC_LEVEL.
void FinishThreadedIrp(PIRP irp, IrpRecord& record, bool threadAlive)
{
    const NTSTATUS status = irp->IoStatus.Status;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) &&
        irp->UserBuffer != nullptr) {
        ULONG_PTR bytes = irp->IoStatus.Information;
        if (bytes > record.outputLength) {
            verifier::Report("Information larger than the output buffer", "IofCompleteRequest",
                             IrpText(irp) + ": " + std::to_string(bytes) + " > " +
                                 std::to_string(record.outputLength));
            bytes = record.outputLength;
        }
        memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        FreePool(irp->AssociatedIrp.SystemBuffer, "IofCompleteRequest");
    }
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        IoFreeMdl(mdl);
    }
    const bool report = !NT_ERROR(status) || (irp->PendingReturned && !(irp->Flags & IRP_SYNCHRONOUS_API));
    if (report && threadAlive) {
        if (irp->UserIosb != nullptr) {
            irp->UserIosb->Status = status;
            irp->UserIosb->Information = irp->IoStatus.Information;
        }
        if (irp->UserEvent != nullptr) {
            SignalEvent(irp->UserEvent);
        }
    }
    if (record.thread != nullptr) {
        std::lock_guard lock(DispatcherMutex());
        record.thread->threadedIrps--;
    }
    ReleaseIrp(irp, true, "IofCompleteRequest");
}

// After the top: unlock the pages of the IRP's MDLs, then the second stage
// for a threaded IRP; an IRP from IoAllocateIrp has no business here.
void CompleteAtTop(PIRP irp, const std::shared_ptr<IrpRecord>& record)
{
    {
        std::lock_guard lock(IrpMutex());
        record->state = IrpState::CompletedToTop;
    }
    if (!record->threaded) {
        verifier::Report("IRP from IoAllocateIrp completed to the top", "IofCompleteRequest",
                         IrpText(irp) + ": its creator's completion routine must return "
                                        "STATUS_MORE_PROCESSING_REQUIRED and free it");
        return;
    }
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr; mdl = mdl->Next) {
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(mdl);
        }
    }
    auto keep = record;
    const bool queued = record->thread != nullptr &&
                        QueueApc(*record->thread, [irp, keep] { FinishThreadedIrp(irp, *keep, true); });
    if (!queued) {
        verifier::Report("request completed after its thread exited", "IofCompleteRequest", IrpText(irp));
        FinishThreadedIrp(irp, *record, false);
    }
}

}  // namespace
}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

// <= DISPATCH_LEVEL, holding no spin lock. The IRP goes back up the stack;
// the caller must not touch it afterwards unless it owns it again through a
// completion routine that returned STATUS_MORE_PROCESSING_REQUIRED.
void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    emu::sched::At(emu::sched::Point::Complete, Irp);
    CheckStackBudget("IofCompleteRequest");
    auto record = FindIrp(Irp);
    if (!CheckEntry(Irp, record)) {
        return;
    }
    CheckRoutineSetWithoutCall(Irp, *record);
    uint64_t completion;
    {
        std::lock_guard lock(IrpMutex());
        completion = ++record->completions;
        NoteReleased(*record);
        if (CallFrame* frame = FrameAt(*record, Irp->CurrentLocation)) {
            frame->completedHere = true;
            CheckSuccessOverLowerFailure(Irp, *frame);
        }
    }
    if (WalkToTop(Irp, *record, completion)) {
        CompleteAtTop(Irp, record);
    }
}

}  // extern "C"
