// IRP stack locations, the completion walk of IofCompleteRequest and
// IoCancelIrp, with the kernel's semantics.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

class IrpStack : public KernelTest {};

// IoSetCompletionRoutine overwrites Control in the next location (it does
// not OR into it); copying takes everything before CompletionRoutine and
// clears Control, leaving the next location's routine and context.
TEST_F(IrpStack, SetCompletionRoutineAndCopyToNext)
{
    const struct {
        BOOLEAN success, error, cancel;
        UCHAR control;
    } cases[] = {{TRUE, TRUE, TRUE, 0xE0}, {TRUE, FALSE, FALSE, 0x40}, {FALSE, TRUE, FALSE, 0x80},
                 {FALSE, FALSE, TRUE, 0x20}, {FALSE, FALSE, FALSE, 0x00}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.control));
        PIRP irp = IoAllocateIrp(3, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
        current->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        current->Flags = 5;
        current->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
        current->Parameters.DeviceIoControl.IoControlCode = 0x220444;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Control = SL_PENDING_RETURNED | SL_ERROR_RETURNED;
        IoSetCompletionRoutine(irp, ProbeCompletion, irp, c.success, c.error, c.cancel);
        EXPECT_EQ(next->Control, c.control);
        IoCopyCurrentIrpStackLocationToNext(irp);
        EXPECT_EQ(next->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(next->Flags, 5);
        EXPECT_EQ(next->Control, 0);
        EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x220444u);
        EXPECT_EQ(next->CompletionRoutine, &ProbeCompletion);
        EXPECT_EQ(next->Context, irp);
        IoFreeIrp(irp);
    }
}

constexpr UCHAR OnSuccess = SL_INVOKE_ON_SUCCESS;
constexpr UCHAR OnError = SL_INVOKE_ON_ERROR;
constexpr UCHAR OnCancel = SL_INVOKE_ON_CANCEL;
constexpr UCHAR OnAll = OnSuccess | OnError | OnCancel;

class CompletionWalk : public KernelTest {};

// A routine runs when its flags match the status the IRP has when the walk
// reaches it, or when the IRP was cancelled and it asked for cancels.
TEST_F(CompletionWalk, InvokeFlagsAgainstStatusAndCancel)
{
    const struct {
        const char* name;
        UCHAR flags;
        NTSTATUS status;
        bool cancelled;
        bool invoked;
    } cases[] = {
        {"success routine, success", OnSuccess, STATUS_SUCCESS, false, true},
        {"success routine, error", OnSuccess, STATUS_UNSUCCESSFUL, false, false},
        {"error routine, success", OnError, STATUS_SUCCESS, false, false},
        {"error routine, error", OnError, STATUS_CANCELLED, false, true},
        {"error routine, warning", OnError, STATUS_BUFFER_OVERFLOW, false, true},
        {"success routine, warning", OnSuccess, STATUS_BUFFER_OVERFLOW, false, false},
        {"success routine, informational", OnSuccess, STATUS_OBJECT_NAME_EXISTS, false, true},
        {"cancel routine, success", OnCancel, STATUS_SUCCESS, false, false},
        {"cancel routine, error, cancelled", OnCancel, STATUS_UNSUCCESSFUL, true, true},
        {"no flags, cancelled", 0, STATUS_SUCCESS, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(2);
        CompletionProbe probe;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancelled;
            return CompleteWith(irp, c.status);
        });
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            return ForwardWithProbe(stack.Device(0), irp, &probe, c.flags);
        });
        CompletionProbe creator = FreeingProbe();
        EXPECT_EQ(SendFreeingIrp(stack, &creator), c.status);
        EXPECT_EQ(probe.calls, c.invoked ? 1 : 0);
        EXPECT_EQ(creator.calls, 1);
        EXPECT_EQ(creator.status, c.status);
    }
}

// A routine sees the status a routine below it left, not the one the
// bottom driver completed with.
TEST_F(CompletionWalk, LowerRoutineChangesWhatUpperRoutineSees)
{
    TestStack stack(3);
    CompletionProbe failing, onErrorOnly, creator = FreeingProbe();
    failing.action = [](PIRP irp) { irp->IoStatus.Status = STATUS_UNSUCCESSFUL; };
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(0), irp, &failing, OnSuccess); });
    stack.OnDispatch(2, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(1), irp, &onErrorOnly, OnError); });
    SendFreeingIrp(stack, &creator);
    EXPECT_EQ(onErrorOnly.calls, 1);
    EXPECT_EQ(creator.status, STATUS_UNSUCCESSFUL);
}

// PendingReturned is recomputed at every level; a level without a routine
// passes the bottom driver's pending mark up to the next one.
TEST_F(CompletionWalk, PendingReturnedPropagatesThroughLevelsWithoutRoutine)
{
    for (bool bottomPends : {false, true}) {
        SCOPED_TRACE(bottomPends ? "pended, completed later" : "completed in dispatch");
        TestStack stack(3);
        PIRP held = nullptr;
        if (bottomPends) {
            stack.OnDispatch(0, HoldPending(&held));
        }
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(stack.Device(0), irp);
        });
        CompletionProbe top;
        stack.OnDispatch(2, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(1), irp, &top, OnAll); });
        CompletionProbe creator = FreeingProbe();
        EXPECT_EQ(SendFreeingIrp(stack, &creator, IRP_MJ_WRITE), bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
        if (held != nullptr) {
            CompleteWith(held, STATUS_SUCCESS);
        }
        EXPECT_EQ(top.calls, 1);
        EXPECT_EQ(top.pendingReturned, bottomPends);
        EXPECT_EQ(creator.pendingReturned, bottomPends);
    }
}

// The creator's routine receives a device object only when the creator
// gave itself a stack location; otherwise it receives NULL.
TEST_F(CompletionWalk, CreatorRoutineDeviceObject)
{
    for (bool ownLocation : {false, true}) {
        SCOPED_TRACE(ownLocation ? "own location" : "no location of its own");
        TestStack stack(1);
        PDEVICE_OBJECT creatorDevice = CreatePhysicalDevice();
        CompletionProbe creator = FreeingProbe();
        PIRP irp = stack.AllocateIrp(IRP_MJ_READ, ownLocation);
        if (ownLocation) {
            IoGetCurrentIrpStackLocation(irp)->DeviceObject = creatorDevice;
        }
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        IoCallDriver(stack.Top(), irp);
        EXPECT_EQ(creator.calls, 1);
        EXPECT_EQ(creator.device, ownLocation ? creatorDevice : nullptr);
        IoDeleteDevice(creatorDevice);
    }
}

// Inside a routine the current location is its owner's own, and the
// location below has been cleared except for MajorFunction, DeviceObject,
// CompletionRoutine and Context.
TEST_F(CompletionWalk, RoutineSeesOwnLocationAndClearedLowerOne)
{
    TestStack stack(2);
    CompletionProbe probe;
    PIO_STACK_LOCATION topLocation = nullptr;
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
        topLocation = IoGetCurrentIrpStackLocation(irp);
        topLocation->Flags = 1;
        topLocation->Parameters.Others.Argument1 = irp;
        return ForwardWithProbe(stack.Device(0), irp, &probe, OnSuccess);
    });
    CompletionProbe creator = FreeingProbe();
    SendFreeingIrp(stack, &creator, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    ASSERT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.device, stack.Device(1));
    EXPECT_EQ(probe.current, topLocation);
    EXPECT_EQ(probe.lower.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(probe.lower.Flags, 0);
    EXPECT_EQ(probe.lower.Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(probe.lower.DeviceObject, stack.Device(0));
    EXPECT_EQ(probe.lower.CompletionRoutine, &ProbeCompletion);
    EXPECT_EQ(probe.lower.Context, &probe);
}

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
        stack.OnDispatch(0, HoldPending(&queued));
        CompletionProbe creator = FreeingProbe();
        ASSERT_EQ(SendFreeingIrp(stack, &creator), STATUS_PENDING);
        IoSetCancelRoutine(queued, c.routine == Routine::None ? nullptr : RecordingCancelRoutine);
        if (c.routine == Routine::TakenBack) {
            EXPECT_EQ(IoSetCancelRoutine(queued, nullptr), &RecordingCancelRoutine);
        }
        const KIRQL old = KfRaiseIrql(c.callerIrql);
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
