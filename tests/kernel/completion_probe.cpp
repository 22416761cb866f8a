#include "tests/kernel/completion_probe.h"

namespace emu::test {

NTSTATUS ProbeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* probe = static_cast<CompletionProbe*>(context);
    probe->calls++;
    probe->device = device;
    probe->pendingReturned = irp->PendingReturned;
    probe->status = irp->IoStatus.Status;
    probe->current = IoGetCurrentIrpStackLocation(irp);
    probe->lower = *(probe->current - 1);
    const NTSTATUS result = probe->result;
    if (result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned && device != nullptr) {
        IoMarkIrpPending(irp);
    }
    if (probe->action) {
        probe->action(irp);
    }
    return result;
}

CompletionProbe FreeingProbe()
{
    CompletionProbe probe;
    probe.result = STATUS_MORE_PROCESSING_REQUIRED;
    probe.action = [](PIRP irp) { IoFreeIrp(irp); };
    return probe;
}

NTSTATUS ForwardWithProbe(PDEVICE_OBJECT lower, PIRP irp, CompletionProbe* probe, UCHAR invokeFlags)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeCompletion, probe, (invokeFlags & SL_INVOKE_ON_SUCCESS) != 0,
                           (invokeFlags & SL_INVOKE_ON_ERROR) != 0, (invokeFlags & SL_INVOKE_ON_CANCEL) != 0);
    return IoCallDriver(lower, irp);
}

NTSTATUS SendFreeingIrp(TestStack& stack, CompletionProbe* creator, UCHAR major)
{
    PIRP irp = stack.AllocateIrp(major);
    IoSetCompletionRoutine(irp, ProbeCompletion, creator, TRUE, TRUE, TRUE);
    return IoCallDriver(stack.Top(), irp);
}

}  // namespace emu::test
