// The completion walk of IofCompleteRequest, as the kernel performs it.
#include "tests/kernel/completion_probe.h"
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

namespace emu::test {
namespace {

constexpr UCHAR OnSuccess = SL_INVOKE_ON_SUCCESS;
constexpr UCHAR OnError = SL_INVOKE_ON_ERROR;
constexpr UCHAR OnCancel = SL_INVOKE_ON_CANCEL;

class CompletionWalk : public KernelTest {};

struct InvokeCase {
    const char* name;
    UCHAR flags;
    NTSTATUS status;
    bool cancelled;
    bool invoked;
};

// A routine runs when its flags match the status the IRP has when the walk
// reaches it, or when the IRP was cancelled and it asked for cancels.
TEST_F(CompletionWalk, InvokeFlagsAgainstStatusAndCancel)
{
    const InvokeCase cases[] = {
        {"success routine, success", OnSuccess, STATUS_SUCCESS, false, true},
        {"success routine, error", OnSuccess, STATUS_UNSUCCESSFUL, false, false},
        {"error routine, success", OnError, STATUS_SUCCESS, false, false},
        {"error routine, error", OnError, STATUS_CANCELLED, false, true},
        {"error routine, warning", OnError, STATUS_BUFFER_OVERFLOW, false, true},
        {"success routine, warning", OnSuccess, STATUS_BUFFER_OVERFLOW, false, false},
        {"success routine, informational", OnSuccess, STATUS_OBJECT_NAME_EXISTS, false, true},
        {"cancel routine, success", OnCancel, STATUS_SUCCESS, false, false},
        {"cancel routine, success, cancelled", OnCancel, STATUS_SUCCESS, true, true},
        {"cancel routine, error, cancelled", OnCancel, STATUS_UNSUCCESSFUL, true, true},
        {"no flags, cancelled", 0, STATUS_SUCCESS, true, false},
        {"all flags, error", OnSuccess | OnError | OnCancel, STATUS_UNSUCCESSFUL, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(2);
        CompletionProbe probe;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, c.status); });
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            return ForwardWithProbe(stack.Device(0), irp, &probe, c.flags);
        });
        CompletionProbe creator = FreeingProbe();
        PIRP irp = stack.AllocateIrp(IRP_MJ_READ);
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        irp->Cancel = c.cancelled;

        EXPECT_EQ(IoCallDriver(stack.Top(), irp), c.status);
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
    PIRP irp = stack.AllocateIrp(IRP_MJ_READ);
    IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);

    IoCallDriver(stack.Top(), irp);
    EXPECT_EQ(failing.calls, 1);
    EXPECT_EQ(onErrorOnly.calls, 1);
    EXPECT_EQ(creator.status, STATUS_UNSUCCESSFUL);
}

struct PendingCase {
    const char* name;
    bool bottomPends;
};

// PendingReturned is recomputed at every level; a level without a routine
// passes the bottom driver's pending mark up to the next one.
TEST_F(CompletionWalk, PendingReturnedPropagatesThroughLevelsWithoutRoutine)
{
    const PendingCase cases[] = {{"completed in dispatch", false}, {"pended, completed later", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(3);
        PIRP held = nullptr;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            if (!c.bottomPends) {
                return CompleteWith(irp, STATUS_SUCCESS);
            }
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        });
        stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(stack.Device(0), irp);
        });
        CompletionProbe top;
        stack.OnDispatch(2, [&](PDEVICE_OBJECT, PIRP irp) {
            return ForwardWithProbe(stack.Device(1), irp, &top, OnSuccess | OnError | OnCancel);
        });
        CompletionProbe creator = FreeingProbe();
        PIRP irp = stack.AllocateIrp(IRP_MJ_WRITE);
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);

        const NTSTATUS status = IoCallDriver(stack.Top(), irp);
        EXPECT_EQ(status, c.bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
        if (held != nullptr) {
            CompleteWith(held, STATUS_SUCCESS);
        }
        EXPECT_EQ(top.calls, 1);
        EXPECT_EQ(top.pendingReturned, c.bottomPends);
        EXPECT_EQ(creator.pendingReturned, c.bottomPends);
    }
}

// The creator's routine receives a device object only when the creator
// gave itself a stack location; otherwise it receives NULL.
TEST_F(CompletionWalk, CreatorRoutineDeviceObject)
{
    const struct {
        const char* name;
        bool ownLocation;
    } cases[] = {{"no location of its own", false}, {"own location", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestStack stack(1);
        PDEVICE_OBJECT creatorDevice = CreatePhysicalDevice();
        CompletionProbe creator = FreeingProbe();
        PIRP irp = stack.AllocateIrp(IRP_MJ_READ, c.ownLocation);
        if (c.ownLocation) {
            IoGetCurrentIrpStackLocation(irp)->DeviceObject = creatorDevice;
        }
        IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);
        IoCallDriver(stack.Top(), irp);
        EXPECT_EQ(creator.calls, 1);
        EXPECT_EQ(creator.device, c.ownLocation ? creatorDevice : nullptr);
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
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
        return ForwardWithProbe(stack.Device(0), irp, &keep, OnSuccess | OnError | OnCancel);
    });
    CompletionProbe creator = FreeingProbe();
    PIRP irp = stack.AllocateIrp(IRP_MJ_READ);
    IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);

    IoCallDriver(stack.Top(), irp);
    ASSERT_EQ(keep.calls, 1);
    EXPECT_EQ(creator.calls, 0);
    EXPECT_EQ(irp->CurrentLocation, 2);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack.Device(1));

    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
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
    stack.OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
        return ForwardWithProbe(stack.Device(0), irp, &probe, OnSuccess);
    });
    CompletionProbe creator = FreeingProbe();
    PIRP irp = stack.AllocateIrp(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    first->MinorFunction = 7;
    first->Flags = 1;
    first->Parameters.Others.Argument1 = irp;
    first->Parameters.Others.Argument4 = irp;
    PIO_STACK_LOCATION topLocation = first;
    IoSetCompletionRoutine(irp, ProbeCompletion, &creator, TRUE, TRUE, TRUE);

    IoCallDriver(stack.Top(), irp);
    ASSERT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.device, stack.Device(1));
    EXPECT_EQ(probe.current, topLocation);
    EXPECT_EQ(probe.lower.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(probe.lower.MinorFunction, 0);
    EXPECT_EQ(probe.lower.Flags, 0);
    EXPECT_EQ(probe.lower.Control, 0);
    EXPECT_EQ(probe.lower.Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(probe.lower.Parameters.Others.Argument4, nullptr);
    EXPECT_EQ(probe.lower.DeviceObject, stack.Device(0));
    EXPECT_EQ(probe.lower.CompletionRoutine, &ProbeCompletion);
    EXPECT_EQ(probe.lower.Context, &probe);
}

}  // namespace
}  // namespace emu::test
