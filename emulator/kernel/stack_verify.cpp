// The verifier's view of a request's stack locations, from two sources.
//
// The request's fields at the kernel's boundaries, as Driver Verifier sees
// them; every rule here is judged from these, so it holds for compiled
// inline code that calls no emulator routine:
//  - NoteHandOver (IofCallDriver hands a location over): invoke flags with
//    no routine; a routine replaced in a location skipped down;
//  - JudgeDispatchReturn (the dispatch routine returns) and
//    NoteLocationWalked (IofCompleteRequest passes a location): the pending
//    mark against the status returned; a mark appearing in the caller's
//    location (a mark after a skip);
//  - a mark with no location of one's own lands in the guard past the last
//    location, reported when the request is freed (irp_allocate.cpp).
//
//  - CheckLocationToHandOver (IofCallDriver, PoCallDriver) and
//    CheckLocationToComplete (IofCompleteRequest): a step down past the
//    first location, a skip by a driver with no location of its own (the
//    location to hand over lies past the last one), a copy by such a driver
//    (the location handed over is a copy of the guard past the last one).
//
// The emulator's own inline helpers (the Emu* hooks below) are an extra that
// names the inline call where the misuse happens, in the host build; no rule
// is seen only through them. What a compiled image's inline code does
// without a later call down or completion (a location fetched but not used,
// a routine written below the first location and the request then freed)
// goes unseen, as it does by Driver Verifier.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

#include <optional>

using namespace emu::kernel;

namespace {

constexpr UCHAR InvokeFlags = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

// Location `location` (1: the bottom) of a live request, from the layout
// rather than from CurrentLocation, which a completion on another thread
// may be moving.
PIO_STACK_LOCATION LocationOf(PIRP irp, int location)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

bool MarkedPending(PIRP irp, int location)
{
    return (__atomic_load_n(&LocationOf(irp, location)->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
}

std::string AtLocation(PIRP irp, int location)
{
    return IrpText(irp) + " at location " + std::to_string(location) + " of " + std::to_string(int(irp->StackCount));
}

// The innermost call on this thread that owns `location`: the driver that
// skipped its own location down to the call being made. Caller holds
// IrpMutex().
CallFrame* SkippingCaller(IrpRecord& record, int location)
{
    const uint64_t self = CurrentThread().id;
    for (auto it = record.frames.rbegin(); it != record.frames.rend(); ++it) {
        if ((*it)->location == location && (*it)->thread == self) {
            return *it;
        }
    }
    return nullptr;
}

// SL_PENDING_RETURNED appearing in the caller's location while this call
// runs and before the completion walk reaches it: the driver (or one that
// shares its location) marked after a skip. Caller holds IrpMutex().
void CheckCallerLocationUnmarked(PIRP irp, IrpRecord& record, CallFrame& frame, const char* routine)
{
    const int upper = frame.location + 1;
    if (frame.upperReported || frame.upperMarkedAtEntry || upper > record.stackCount || !MarkedPending(irp, upper)) {
        return;
    }
    frame.upperReported = true;
    emu::verifier::Report("IoMarkIrpPending after IoSkipCurrentIrpStackLocation", routine,
                          AtLocation(irp, frame.location) + ": location " + std::to_string(upper) +
                              ", the caller's, was marked pending");
}

std::string LocationText(PIRP Irp)
{
    return IrpText(Irp) + " at location " + std::to_string(int(Irp->CurrentLocation)) + " of " +
           std::to_string(int(Irp->StackCount));
}

void CheckLowerLocation(PIRP Irp, const char* routine)
{
    if (Irp->CurrentLocation <= 1) {
        emu::verifier::Report("no lower stack location", routine, LocationText(Irp));
    }
}

// The first bytes of the next location, up to its completion routine and
// leaving out Control (which a copy clears), equal those of the guard past
// the last location: the request's creator copied its "current" location,
// the guard, down. Only checked when the next location is the last one.
bool CopiedFromGuard(PIRP irp)
{
    const auto* next = reinterpret_cast<const UCHAR*>(LocationOf(irp, irp->StackCount));
    const auto* guard = reinterpret_cast<const UCHAR*>(LocationOf(irp, irp->StackCount + 1));
    constexpr size_t control = offsetof(IO_STACK_LOCATION, Control);
    constexpr size_t routine = offsetof(IO_STACK_LOCATION, CompletionRoutine);
    return memcmp(next, guard, control) == 0 &&
           memcmp(next + control + 1, guard + control + 1, routine - control - 1) == 0;
}

// Remembers where the last skip left the IRP (0: the last step was not a skip).
void NoteSkippedAt(PIRP Irp, int location)
{
    std::lock_guard lock(IrpMutex());
    if (IrpRecord* record = FindIrpLocked(Irp)) {
        record->skippedAt = location;
    }
}

}  // namespace

namespace emu::kernel {

// IofCompleteRequest's view of the steps down: the walk starts at the
// current location, which a step past the first one has left in the
// request's own fields. False (reported) when it is not there.
bool CheckLocationToComplete(PIRP irp)
{
    if (irp->CurrentLocation >= 1) {
        return true;
    }
    emu::verifier::Report("no lower stack location", "IofCompleteRequest",
                          LocationText(irp) + ": a step down past the first location");
    return false;
}

// IofCallDriver has just handed `frame.location` to a dispatch routine.
// Records what the fields say; checks that invoke flags come with a routine
// and, when the caller skipped its own location down, that its completion
// routine (the one the driver above set) is still there.
void NoteHandOver(PIRP irp, IrpRecord& record, CallFrame& frame)
{
    PIO_STACK_LOCATION own = LocationOf(irp, frame.location);
    if ((own->Control & InvokeFlags) != 0 && own->CompletionRoutine == nullptr) {
        // The completion walk would call address zero: the flags go.
        emu::verifier::Report("completion flags set without a completion routine", "IofCallDriver",
                              AtLocation(irp, frame.location));
        own->Control &= ~InvokeFlags;
    }
    frame.markedAtEntry = MarkedPending(irp, frame.location);
    frame.upperMarkedAtEntry = frame.location < record.stackCount && MarkedPending(irp, frame.location + 1);
    frame.routineAtEntry = own->CompletionRoutine;
    frame.contextAtEntry = own->Context;
    frame.invokeAtEntry = own->Control & InvokeFlags;
    const CallFrame* caller = SkippingCaller(record, frame.location);
    if (caller == nullptr) {
        return;
    }
    if (own->CompletionRoutine != caller->routineAtEntry || own->Context != caller->contextAtEntry ||
        (own->Control & InvokeFlags) != caller->invokeAtEntry) {
        emu::verifier::Report("IoSetCompletionRoutine after IoSkipCurrentIrpStackLocation", "IofCallDriver",
                              AtLocation(irp, frame.location) +
                                  ": the completion routine of the driver above was replaced");
    }
    frame.routineAtEntry = caller->routineAtEntry;
    frame.contextAtEntry = caller->contextAtEntry;
    frame.invokeAtEntry = caller->invokeAtEntry;
}

// The pending rules when a dispatch routine returns `status`. Whether the
// driver's location is marked pending comes from the completion walk when it
// passed the location during the call (its SL_PENDING_RETURNED, including
// what it propagated from below), else from the location itself. A request
// passed down with a location of its own whose call down returned
// STATUS_PENDING is left alone: its completion routine may be marking the
// location this very moment.
void JudgeDispatchReturn(PIRP irp, IrpRecord& record, CallFrame& frame, NTSTATUS status,
                         const std::function<std::string()>& call)
{
    const bool live = record.state != IrpState::Freed;
    if (!frame.walked && live) {
        CheckCallerLocationUnmarked(irp, record, frame, "IofCallDriver");
    }
    std::optional<bool> marked;
    if (frame.walked) {
        marked = frame.walkSawPending;
    } else if (live && !(frame.lowerReturnedPending && !frame.sharedLocationPending)) {
        marked = MarkedPending(irp, frame.location);
    }
    const bool pending = status == STATUS_PENDING;
    if (pending && marked.has_value() && !*marked && !frame.lowerReturnedPending) {
        emu::verifier::Report("STATUS_PENDING returned without IoMarkIrpPending", "IofCallDriver", call());
    }
    const bool markedHere = marked.value_or(false) && !frame.markedAtEntry;
    if (!pending && (markedHere || frame.markedPending || frame.sharedLocationPending)) {
        emu::verifier::Report("IoMarkIrpPending without returning STATUS_PENDING", "IofCallDriver",
                              call() + " returned " + Hex(static_cast<ULONG>(status)));
    }
}

// The completion walk is at `location`, with PendingReturned as read from
// it, before its completion routine runs or its mark moves up.
void NoteLocationWalked(PIRP irp, IrpRecord& record, int location, bool pendingReturned)
{
    std::lock_guard lock(IrpMutex());
    for (const auto& frame : record.frames) {
        if (frame->location != location) {
            continue;
        }
        if (!frame->walked) {
            CheckCallerLocationUnmarked(irp, record, *frame, "IofCompleteRequest");
        }
        frame->walked = true;
        frame->walkSawPending = pendingReturned;
    }
}

}  // namespace emu::kernel

// The location to hand over lies at CurrentLocation - 1: below the first
// one after too many steps down, past the last one after a skip by the
// request's creator, or a copy of the guard after the creator's copy.
bool emu::CheckLocationToHandOver(PIRP irp, const char* routine)
{
    if (irp->CurrentLocation <= 1) {
        emu::verifier::Report("no more IRP stack locations", routine, LocationText(irp));
        return false;
    }
    if (irp->CurrentLocation > irp->StackCount + 1) {
        emu::verifier::Report("skip with no current stack location", routine,
                              LocationText(irp) + ": the location handed over is past the last one");
        return false;
    }
    if (irp->CurrentLocation == irp->StackCount + 1 && CopiedFromGuard(irp)) {
        emu::verifier::Report("copy with no current stack location", routine,
                              LocationText(irp) + ": the location handed over is a copy of the guard past the "
                                                  "last one");
        return false;
    }
    return true;
}

extern "C" {

void EmuVerifyNextLocation(PIRP Irp)
{
    CheckLowerLocation(Irp, "IoGetNextIrpStackLocation");
}

void EmuVerifySkip(PIRP Irp)
{
    if (Irp->CurrentLocation > Irp->StackCount) {
        emu::verifier::Report("skip with no current stack location", "IoSkipCurrentIrpStackLocation",
                              LocationText(Irp));
    }
    NoteSkippedAt(Irp, Irp->CurrentLocation + 1);
}

void EmuVerifySetNextLocation(PIRP Irp)
{
    CheckLowerLocation(Irp, "IoSetNextIrpStackLocation");
    NoteSkippedAt(Irp, 0);
}

void EmuVerifyCopyToNext(PIRP Irp)
{
    CheckLowerLocation(Irp, "IoCopyCurrentIrpStackLocationToNext");
    if (Irp->CurrentLocation > Irp->StackCount) {
        emu::verifier::Report("copy with no current stack location", "IoCopyCurrentIrpStackLocationToNext",
                              LocationText(Irp));
    }
    NoteSkippedAt(Irp, 0);
}

void EmuVerifyCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, UCHAR Control)
{
    if (Control != 0 && CompletionRoutine == nullptr) {
        emu::verifier::Report("completion flags set without a completion routine", "IoSetCompletionRoutine",
                              LocationText(Irp));
    }
    CheckLowerLocation(Irp, "IoSetCompletionRoutine");
    std::lock_guard lock(IrpMutex());
    IrpRecord* record = FindIrpLocked(Irp);
    if (record == nullptr) {
        return;
    }
    if (record->skippedAt != 0 && record->skippedAt == Irp->CurrentLocation) {
        emu::verifier::Report("IoSetCompletionRoutine after IoSkipCurrentIrpStackLocation", "IoSetCompletionRoutine",
                              LocationText(Irp) + ": overwrites the routine of the driver above");
    }
}

void EmuVerifyMarkPending(PIRP Irp)
{
    std::lock_guard lock(IrpMutex());
    IrpRecord* record = FindIrpLocked(Irp);
    if (Irp->CurrentLocation > Irp->StackCount) {
        emu::verifier::Report("IoMarkIrpPending without a stack location of one's own", "IoMarkIrpPending",
                              LocationText(Irp));
        if (record != nullptr) {
            record->guardReported = true;
        }
        return;
    }
    if (record == nullptr) {
        return;
    }
    if (record->skippedAt != 0 && record->skippedAt == Irp->CurrentLocation) {
        emu::verifier::Report("IoMarkIrpPending after IoSkipCurrentIrpStackLocation", "IoMarkIrpPending",
                              LocationText(Irp) + ": marks a location that is not the caller's");
    }
    if (CallFrame* frame = FrameAt(*record, Irp->CurrentLocation)) {
        frame->markedPending = true;
    }
}

void EmuVerifyMdlArgument(PMDL Mdl, const char* Routine)
{
    if (Mdl == nullptr) {
        emu::verifier::Report("NULL MDL", Routine);
    }
}

}  // extern "C"
