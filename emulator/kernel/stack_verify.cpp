// The verifier's view of the DDK's inline stack-location helpers. Each
// helper calls in here before doing its own pointer arithmetic, so a step
// that would corrupt the IRP (no lower location, a completion routine or
// pending mark written after a skip, a mark with no location of one's own)
// is reported where it happens.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

using namespace emu::kernel;

namespace {

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

// Remembers where the last skip left the IRP (0: the last step was not a skip).
void NoteSkippedAt(PIRP Irp, int location)
{
    auto record = FindIrp(Irp);
    if (record == nullptr) {
        return;
    }
    std::lock_guard lock(IrpMutex());
    record->skippedAt = location;
}

}  // namespace

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
    auto record = FindIrp(Irp);
    if (record == nullptr) {
        return;
    }
    std::lock_guard lock(IrpMutex());
    if (record->skippedAt != 0 && record->skippedAt == Irp->CurrentLocation) {
        emu::verifier::Report("IoSetCompletionRoutine after IoSkipCurrentIrpStackLocation", "IoSetCompletionRoutine",
                              LocationText(Irp) + ": overwrites the routine of the driver above");
    }
}

void EmuVerifyMarkPending(PIRP Irp)
{
    auto record = FindIrp(Irp);
    if (Irp->CurrentLocation > Irp->StackCount) {
        emu::verifier::Report("IoMarkIrpPending without a stack location of one's own", "IoMarkIrpPending",
                              LocationText(Irp));
        if (record != nullptr) {
            std::lock_guard lock(IrpMutex());
            record->guardReported = true;
        }
        return;
    }
    if (record == nullptr) {
        return;
    }
    std::lock_guard lock(IrpMutex());
    if (record->skippedAt != 0 && record->skippedAt == Irp->CurrentLocation) {
        emu::verifier::Report("IoMarkIrpPending after IoSkipCurrentIrpStackLocation", "IoMarkIrpPending",
                              LocationText(Irp) + ": marks a location that is not the caller's");
    }
    if (CallFrame* frame = FrameAt(*record, Irp->CurrentLocation)) {
        frame->markedPending = true;
    } else if (CallFrame* caller = FrameAt(*record, Irp->CurrentLocation + 1)) {
        // The location below a caller, marked before any driver got it (the
        // power manager holding a request it will deliver later): the call
        // down returns STATUS_PENDING.
        caller->lowerReturnedPending = true;
    }
}

void EmuVerifyMdlArgument(PMDL Mdl, const char* Routine)
{
    if (Mdl == nullptr) {
        emu::verifier::Report("NULL MDL", Routine);
    }
}

}  // extern "C"
