// IoCancelIrp and the cancel routine contract, as the kernel defines them.
#include "tests/kernel/completion_probe.h"
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

class Cancel : public KernelTest {};

// What a cancel routine observed when it ran.
struct CancelSeen {
    int calls = 0;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routine = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    KIRQL cancelIrql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
};
CancelSeen seen;

// The documented cancel routine: release the cancel lock with CancelIrql,
// then complete the IRP as cancelled.
void RecordingCancelRoutine(PDEVICE_OBJECT device, PIRP irp)
{
    seen.calls++;
    seen.cancel = irp->Cancel;
    seen.routine = irp->CancelRoutine;
    seen.irql = KeGetCurrentIrql();
    seen.cancelIrql = irp->CancelIrql;
    seen.device = device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

struct CancelCase {
    const char* name;
    bool routineSet;
    KIRQL callerIrql;
};

TEST_F(Cancel, RoutineRunsWithCancelSetAndRoutineClearedUnderTheCancelLock)
{
    const CancelCase cases[] = {
        {"routine set, caller at PASSIVE_LEVEL", true, PASSIVE_LEVEL},
        {"routine set, caller at DISPATCH_LEVEL", true, DISPATCH_LEVEL},
        {"no routine", false, PASSIVE_LEVEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seen = {};
        TestStack stack(1);
        PIRP queued = nullptr;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            if (c.routineSet) {
                IoSetCancelRoutine(irp, RecordingCancelRoutine);
            }
            queued = irp;
            return STATUS_PENDING;
        });
        CompletionProbe creator = FreeingProbe();
        PIRP irp = stack.AllocateIrp(IRP_MJ_READ);
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);

        KIRQL old;
        KeRaiseIrql(c.callerIrql, &old);
        const BOOLEAN cancelled = IoCancelIrp(irp);
        EXPECT_EQ(KeGetCurrentIrql(), c.callerIrql);
        KeLowerIrql(old);

        EXPECT_EQ(cancelled, c.routineSet ? TRUE : FALSE);
        if (c.routineSet) {
            EXPECT_EQ(seen.calls, 1);
            EXPECT_TRUE(seen.cancel);
            EXPECT_EQ(seen.routine, nullptr);
            EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
            EXPECT_EQ(seen.cancelIrql, c.callerIrql);
            EXPECT_EQ(seen.device, stack.Device(0));
            EXPECT_EQ(creator.status, STATUS_CANCELLED);
            continue;
        }
        EXPECT_EQ(seen.calls, 0);
        EXPECT_TRUE(irp->Cancel);  // left for the owner to notice
        EXPECT_EQ(creator.calls, 0);
        CompleteWith(queued, STATUS_CANCELLED);
        EXPECT_EQ(creator.calls, 1);
    }
}

// Taking the cancel routine back first means the cancel finds none.
TEST_F(Cancel, ClearedRoutineIsNotCalled)
{
    seen = {};
    TestStack stack(1);
    PIRP queued = nullptr;
    stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, RecordingCancelRoutine);
        queued = irp;
        return STATUS_PENDING;
    });
    CompletionProbe creator = FreeingProbe();
    PIRP irp = stack.AllocateIrp(IRP_MJ_READ);
    IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
    IoCallDriver(stack.Top(), irp);

    EXPECT_EQ(IoSetCancelRoutine(queued, nullptr), &RecordingCancelRoutine);
    EXPECT_EQ(IoCancelIrp(irp), FALSE);
    EXPECT_EQ(seen.calls, 0);
    CompleteWith(queued, STATUS_SUCCESS);
    EXPECT_EQ(creator.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace emu::test
