// IoCancelIrp and the cancel routine contract, as the kernel defines them.
#include "tests/kernel/completion_probe.h"
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
    seen = {seen.calls + 1, irp->Cancel, irp->CancelRoutine, KeGetCurrentIrql(), irp->CancelIrql, device};
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

enum class Routine { Set, None, TakenBack };

TEST_F(Cancel, RoutineRunsWithCancelSetAndRoutineClearedUnderTheCancelLock)
{
    const struct {
        const char* name;
        Routine routine;
        KIRQL callerIrql;
    } cases[] = {
        {"routine set, caller at PASSIVE_LEVEL", Routine::Set, PASSIVE_LEVEL},
        {"routine set, caller at DISPATCH_LEVEL", Routine::Set, DISPATCH_LEVEL},
        {"no routine", Routine::None, PASSIVE_LEVEL},
        {"routine taken back before the cancel", Routine::TakenBack, PASSIVE_LEVEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seen = {};
        TestStack stack(1);
        PIRP queued = nullptr;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            if (c.routine != Routine::None) {
                IoSetCancelRoutine(irp, RecordingCancelRoutine);
            }
            queued = irp;
            return STATUS_PENDING;
        });
        CompletionProbe creator = FreeingProbe();
        ASSERT_EQ(SendFreeingIrp(stack, &creator), STATUS_PENDING);
        if (c.routine == Routine::TakenBack) {
            EXPECT_EQ(IoSetCancelRoutine(queued, nullptr), &RecordingCancelRoutine);
        }

        KIRQL old;
        KeRaiseIrql(c.callerIrql, &old);
        const BOOLEAN cancelled = IoCancelIrp(queued);
        EXPECT_EQ(KeGetCurrentIrql(), c.callerIrql);
        KeLowerIrql(old);

        EXPECT_EQ(cancelled, c.routine == Routine::Set ? TRUE : FALSE);
        if (c.routine == Routine::Set) {
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
        EXPECT_TRUE(queued->Cancel);  // left for the owner to notice
        EXPECT_EQ(creator.calls, 0);
        CompleteWith(queued, STATUS_SUCCESS);
        EXPECT_EQ(creator.status, STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace emu::test
