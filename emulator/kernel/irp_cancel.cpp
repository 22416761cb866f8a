// IoCancelIrp: sets Irp->Cancel and, under the system-wide cancel spin
// lock, takes the IRP's cancel routine and calls it with the lock held;
// the routine releases it with Irp->CancelIrql.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

using namespace emu::kernel;

extern "C" {

// <= DISPATCH_LEVEL. TRUE when a cancel routine was called.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    const KIRQL irql = emu::CurrentIrql();
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    auto record = FindIrp(Irp);
    if (record == nullptr || record->state == IrpState::Freed) {
        emu::verifier::Report("IoCancelIrp on an IRP that is not live", "IoCancelIrp", Hex(Irp));
        return FALSE;
    }
    AcquireCancelLock(irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    bool completed;
    {
        std::lock_guard lock(IrpMutex());
        completed = record->state != IrpState::Live;
    }
    if (completed) {
        emu::verifier::Report("cancel routine set in a completed IRP", "IoCancelIrp", IrpText(Irp));
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    {
        emu::DriverScope scope(device != nullptr ? device->DriverObject : record->creator);
        RoutineScope running("cancel routine");
        routine(device, Irp);
    }
    if (HoldsCancelLock()) {
        emu::verifier::Report("cancel routine returned holding the cancel spin lock", "IoCancelIrp", IrpText(Irp));
        IoReleaseCancelSpinLock(irql);
    }
    if (emu::CurrentIrql() != irql) {
        emu::verifier::Report("IRQL changed across a cancel routine", "IoCancelIrp", IrpText(Irp));
        SetIrql(irql);
    }
    return TRUE;
}

}  // extern "C"
