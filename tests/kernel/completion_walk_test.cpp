// The completion walk of IofCompleteRequest, as the kernel performs it.
#include "tests/kernel/completion_probe.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

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
    CompletionProbe failing;
    failing.action = [](PIRP irp) { irp->IoStatus.Status = STATUS_UNSUCCESSFUL; };
    CompletionProbe onErrorOnly;
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(0), irp, &failing, OnSuccess); });
    stack.OnDispatch(2, [&](PDEVICE_OBJECT, PIRP irp) {
        return ForwardWithProbe(stack.Device(1), irp, &onErrorOnly, OnError);
    });
    CompletionProbe creator = FreeingProbe();
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

// STATUS_MORE_PROCESSING_REQUIRED stops the walk at the routine's owner,
// who owns the IRP again; completing it once more resumes the walk above.
TEST_F(CompletionWalk, MoreProcessingRequiredStopsAndCompletingAgainResumes)
{
    TestStack stack(2);
    CompletionProbe keep;
    keep.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP kept = nullptr;
    keep.action = [&](PIRP irp) { kept = irp; };
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithProbe(stack.Device(0), irp, &keep, OnAll); });
    CompletionProbe creator = FreeingProbe();
    SendFreeingIrp(stack, &creator);
    ASSERT_EQ(keep.calls, 1);
    EXPECT_EQ(creator.calls, 0);
    EXPECT_EQ(kept->CurrentLocation, 2);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(kept)->DeviceObject, stack.Device(1));

    CompleteWith(kept, STATUS_DEVICE_BUSY);
    EXPECT_EQ(keep.calls, 1);
    EXPECT_EQ(creator.calls, 1);
    EXPECT_EQ(creator.status, STATUS_DEVICE_BUSY);
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

}  // namespace
}  // namespace emu::test
