// IRP stack locations, the completion walk of IofCompleteRequest and
// IoCancelIrp, with the kernel's semantics.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <tuple>
#include <utility>

namespace emu::test {
namespace {

constexpr UCHAR OnSuccess = SL_INVOKE_ON_SUCCESS;
constexpr UCHAR OnError = SL_INVOKE_ON_ERROR;
constexpr UCHAR OnCancel = SL_INVOKE_ON_CANCEL;

class CompletionWalk : public KernelTest {};

// A routine runs when its flags match the status the IRP has when the walk
// reaches it, or when the IRP was cancelled and it asked for cancels. The
// routine of a creator without a location of its own gets no device object.
TEST_F(CompletionWalk, InvokeFlagsAgainstStatusAndCancel)
{
    const struct {
        UCHAR flags;
        NTSTATUS status;
        bool cancelled, invoked;
    } cases[] = {
        {OnSuccess, STATUS_SUCCESS, false, true},          {OnSuccess, STATUS_UNSUCCESSFUL, false, false},
        {OnError, STATUS_SUCCESS, false, false},           {OnError, STATUS_CANCELLED, false, true},
        {OnError, STATUS_BUFFER_OVERFLOW, false, true},    {OnSuccess, STATUS_BUFFER_OVERFLOW, false, false},
        {OnSuccess, STATUS_OBJECT_NAME_EXISTS, false, true}, {OnCancel, STATUS_SUCCESS, false, false},
        {OnCancel, STATUS_UNSUCCESSFUL, true, true},       {0, STATUS_SUCCESS, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.flags) << " " << std::hex << c.status << " " << c.cancelled);
        TestStack stack(2);
        CompletionProbe probe;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) { return irp->Cancel = c.cancelled, CompleteWith(irp, c.status); });
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(0), irp, &probe, c.flags); });
        EXPECT_EQ(stack.Send(), c.status);
        EXPECT_EQ(probe.calls, c.invoked ? 1 : 0);
        EXPECT_EQ(stack.creator.calls, 1);
        EXPECT_EQ(stack.creator.status, c.status);
        EXPECT_EQ(stack.creator.device, nullptr);
    }
}

// Inside a routine the current location is its owner's own, and the
// location below has been cleared except for MajorFunction, DeviceObject,
// CompletionRoutine and Context. A routine sees the status a routine below
// it left, not the one the bottom driver completed with. The routine of a
// creator with a location of its own gets that location's device object.
TEST_F(CompletionWalk, RoutineSeesOwnLocationClearedLowerOneAndStatusLeftBelow)
{
    TestStack stack(3);
    CompletionProbe failing, onErrorOnly;
    failing.action = [](PIRP irp) { irp->IoStatus.Status = STATUS_UNSUCCESSFUL; };
    PIO_STACK_LOCATION middle = nullptr;
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
        middle = IoGetCurrentIrpStackLocation(irp);
        middle->Flags = 1;
        middle->Parameters.Others.Argument1 = irp;
        return ForwardWithProbe(stack.Device(0), irp, &failing, OnSuccess);
    });
    stack.OnDispatch(2, [&](PDEVICE_OBJECT, PIRP irp) {
        return ForwardWithProbe(stack.Device(1), irp, &onErrorOnly, OnError);
    });
    PDEVICE_OBJECT creatorDevice = CreatePhysicalDevice();
    PIRP irp = stack.AllocateIrp(IRP_MJ_INTERNAL_DEVICE_CONTROL, true);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = creatorDevice;
    IoSetCompletionRoutine(irp, ProbeCompletion, &stack.creator, TRUE, TRUE, TRUE);
    IoCallDriver(stack.Top(), irp);
    ASSERT_EQ(failing.calls, 1);
    EXPECT_EQ(failing.device, stack.Device(1));
    EXPECT_EQ(failing.current, middle);
    EXPECT_EQ(std::tuple(failing.lower.MajorFunction, failing.lower.Flags), std::tuple(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0));
    EXPECT_EQ(failing.lower.Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(failing.lower.DeviceObject, stack.Device(0));
    EXPECT_EQ(failing.lower.CompletionRoutine, &ProbeCompletion);
    EXPECT_EQ(failing.lower.Context, &failing);
    EXPECT_EQ(onErrorOnly.calls, 1);
    EXPECT_EQ(stack.creator.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack.creator.device, creatorDevice);
    IoDeleteDevice(creatorDevice);
}

// PendingReturned is recomputed at every level; a level without a routine
// passes the bottom driver's pending mark up to the next one.
TEST_F(CompletionWalk, PendingReturnedPropagatesThroughLevelsWithoutRoutine)
{
    for (bool bottomPends : {false, true}) {
        SCOPED_TRACE(bottomPends ? "pended, completed later" : "completed in dispatch");
        TestStack stack(3);
        PIRP held = nullptr;
        stack.OnDispatch(0, bottomPends ? HoldPending(&held) : nullptr);
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(stack.Device(0), irp);
        });
        CompletionProbe top;
        stack.OnDispatch(2, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(1), irp, &top, 0xE0); });
        EXPECT_EQ(stack.Send(IRP_MJ_WRITE), bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
        if (held != nullptr) {
            CompleteWith(held, STATUS_SUCCESS);
        }
        EXPECT_EQ(top.calls, 1);
        EXPECT_EQ(top.pendingReturned, bottomPends);
        EXPECT_EQ(stack.creator.pendingReturned, bottomPends);
    }
}

class Cancel : public KernelTest {};

// What a cancel routine observed when it ran.
struct CancelSeen {
    int calls = 0;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routine = nullptr;
    KIRQL irql = PASSIVE_LEVEL, cancelIrql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
} seen;

// The documented cancel routine: release the cancel lock with CancelIrql,
// then complete the IRP as cancelled.
void NTAPI RecordingCancelRoutine(PDEVICE_OBJECT device, PIRP irp)
{
    seen = {seen.calls + 1, irp->Cancel, irp->CancelRoutine, KeGetCurrentIrql(), irp->CancelIrql, device};
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteWith(irp, STATUS_CANCELLED);
}

enum class Routine { Set, None, TakenBack };

// The routine runs at DISPATCH_LEVEL under the cancel lock taken at the
// caller's IRQL, with Cancel set and the routine cleared; without a routine
// IoCancelIrp only sets Cancel for the owner to notice.
TEST_F(Cancel, RoutineRunsWithCancelSetAndRoutineClearedUnderTheCancelLock)
{
    const std::pair<Routine, KIRQL> cases[] = {
        {Routine::Set, PASSIVE_LEVEL}, {Routine::Set, DISPATCH_LEVEL},
        {Routine::None, PASSIVE_LEVEL}, {Routine::TakenBack, PASSIVE_LEVEL}};
    for (const auto& [routine, callerIrql] : cases) {
        SCOPED_TRACE(testing::Message() << int(routine) << " at IRQL " << int(callerIrql));
        seen = {};
        TestStack stack(1);
        PIRP queued = nullptr;
        stack.OnDispatch(0, HoldPending(&queued));
        ASSERT_EQ(stack.Send(), STATUS_PENDING);
        IoSetCancelRoutine(queued, routine == Routine::None ? nullptr : RecordingCancelRoutine);
        if (routine == Routine::TakenBack) {
            EXPECT_EQ(IoSetCancelRoutine(queued, nullptr), &RecordingCancelRoutine);
        }
        const KIRQL old = KfRaiseIrql(callerIrql);
        EXPECT_EQ(IoCancelIrp(queued), routine == Routine::Set ? TRUE : FALSE);
        EXPECT_EQ(KeGetCurrentIrql(), callerIrql);
        KeLowerIrql(old);
        if (routine == Routine::Set) {
            EXPECT_EQ(std::tuple(seen.calls, seen.cancel, seen.routine), std::tuple(1, TRUE, nullptr));
            EXPECT_EQ(std::tuple(seen.irql, seen.cancelIrql), std::tuple(DISPATCH_LEVEL, callerIrql));
            EXPECT_EQ(seen.device, stack.Device(0));
            EXPECT_EQ(stack.creator.status, STATUS_CANCELLED);
            continue;
        }
        EXPECT_EQ(seen.calls, 0);
        EXPECT_TRUE(queued->Cancel);  // left for the owner to notice
        EXPECT_EQ(stack.creator.calls, 0);
        CompleteWith(queued, STATUS_SUCCESS);
        EXPECT_EQ(stack.creator.status, STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace emu::test
